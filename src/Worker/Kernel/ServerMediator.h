#ifndef ORVO_KERNEL_SERVERMEDIATOR_H
#define ORVO_KERNEL_SERVERMEDIATOR_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include <boost/bind/bind.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "Kernel/RequestLedger.h"
#include "Kernel/Server.h"
#include "Kernel/ServerStoppedException.h"
#include "Protocol/ServerRequest.h"
#include "Protocol/TimeDivisor.h"
#include "Protocol/WireFormat.h"
#include "Support/LoggerFactory.h"

namespace Orvo {
namespace Browser {

// The one object through which the serving thread and the main thread
// exchange requests and results (ServerMediator::instance), over one
// RequestLedger.
//
// Requests: the serving thread hands each request to ProcessRequest, which
// waits until the ledger's one-place hand-over slot is free and places it
// there; the main thread takes it with GetRequest. Results: the main thread
// hands them to SendResponse, which the ledger accepts once per taken
// request and its sender thread delivers through the server, in order.
// StopServer stops the serving side; the destructor waits until every
// accepted result is delivered.
//
// Threads: Create, StartServer, GetRequest, HasUnfinishedRequest,
// SendResponse and StopServer on the main thread; ProcessRequest on the
// serving thread only; GiveUp and AnswerForStuckMainThread on any thread.
class ServerMediator {
public:
    static inline boost::shared_ptr<ServerMediator> instance;

    // Creates the process's mediator (and its server) on first call; later
    // calls return the same one.
    static boost::shared_ptr<ServerMediator>& Create(int pid) {
        LOG4CPLUS_DEBUG(Logging::LoggerFactory::GetLogger(""), "ServerMediator::Create => PID: " << pid);
        if (!instance) {
            instance.reset(new ServerMediator(pid));
        }
        return instance;
    }

    explicit ServerMediator(int pid)
        : server(Server::Create(pid)), logger(Logging::LoggerFactory::GetLogger("ServerMediator")), running(false) {
        LOG4CPLUS_DEBUG(logger, "ServerMediator => PID: " << pid);
    }

    // Stops if still running, then waits, for a while, for the serving
    // thread to end: it may not outlive the mediator. The ledger then
    // delivers what it accepted before it goes.
    ~ServerMediator() {
        if (running) {
            StopServer(true, false);
        }
        // A serving thread still waiting for the slot is let go.
        ledger.Close();
        if (serverThread.get_id() != boost::this_thread::get_id()) {
            serverThread.try_join_for(boost::chrono::milliseconds(Server::StopWaitMs));
        }
        serverThread.detach();
    }

    ServerMediator(const ServerMediator&) = delete;
    ServerMediator& operator=(const ServerMediator&) = delete;

    // Initialises the server on this thread (the process exits if that
    // fails) and starts the serving thread. Does nothing when running.
    void StartServer() {
        if (running) {
            return;
        }
        LOG4CPLUS_INFO(logger, "ServerMediator::StartServer");
        const Server::Callback callback =
            boost::bind(&ServerMediator::ProcessRequest, this, boost::placeholders::_1);
        server->Initialize();
        running = true;
        serverThread = boost::thread(&Server::Start, server.get(), boost::ref(ledger), callback);
    }

    // Serving thread: waits until the slot is free, then places request,
    // the ledger's chosen one, there. The wait lasts while the mediator
    // runs: the main thread leaves a request in the slot while it has as
    // many pages open as it may (the request then waits, and those behind
    // it wait in the ledger or the channel), and a main thread that no
    // longer comes back is the watchdog's business. A request that comes,
    // or waited, while the mediator stops is answered dead.
    void ProcessRequest(boost::shared_ptr<ServerRequest> request) {
        LOG4CPLUS_INFO(logger, "ServerMediator::ProcessRequest: " << request->url);
        const RequestLedger::Placing placing = ledger.Place();
        LOG4CPLUS_DEBUG(logger, "ServerMediator::ProcessRequest => GET");
        if (placing == RequestLedger::Placing::Closed) {
            AnswerDead(request);
        }
    }

    // Main thread: hook is called on the serving thread each time a request
    // is put into the hand-over slot, so that the main thread can take it
    // at once instead of on its next poll; it must only post a message.
    // An empty hook removes it; once that returns, no call of the old one
    // is running or will begin.
    void SetRequestArrivedHook(const boost::function<void()>& hook) {
        ledger.SetOfferHook(hook ? std::function<void()>(hook) : std::function<void()>());
    }

    // Main thread: takes the offered request, if any; with a wait, waits
    // once that long for one to arrive. Returns an empty pointer when there
    // is none. Throws ServerStoppedException once the server has stopped.
    boost::shared_ptr<ServerRequest> GetRequest(int waitMilliseconds) {
        LOG4CPLUS_DEBUG(logger, "ServerMediator::GetRequest");
        if (server->IsStopped()) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator => ServerStoppedException");
            throw ServerStoppedException();
        }
        boost::shared_ptr<ServerRequest> request;
        const RequestLedger::Taking taking = ledger.Take(request, waitMilliseconds);
        if (taking == RequestLedger::Taking::Nothing) {
            return boost::shared_ptr<ServerRequest>();
        }
        LOG4CPLUS_DEBUG(logger, "ServerMediator::GetRequest => GET");
        if (taking == RequestLedger::Taking::InFlight) {
            // Answering it would answer the request in flight under that
            // name: the first one holds, this one is dropped.
            LOG4CPLUS_ERROR(logger, "ServerMediator::GetRequest => name already in flight: " << request->name);
            return boost::shared_ptr<ServerRequest>();
        }
        LOG4CPLUS_DEBUG(logger, "ServerMediator::GetRequest => GET: " << request->url);
        return request;
    }

    // Whether a request is anywhere between the request channel and the
    // client: in the channel, or in the ledger in any state but answered.
    // False when not running and once the server stopped. When the request
    // channel's lock stays taken past its deadline (its holder died with
    // it), Interprocess::TimeOutException propagates, since no request can
    // get through that channel again.
    bool HasUnfinishedRequest() const {
        if (!running || server->IsStopped()) {
            return false;
        }
        try {
            return ledger.Holds() || server->HasQueuedRequests();
        } catch (const Interprocess::TimeOutException&) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::HasUnfinishedRequest => request channel lock timeout");
            throw;
        } catch (const std::exception& e) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::HasUnfinishedRequest => " << "Exception " << e.what());
        }
        return false;
    }

    // Main thread: clients are told to send no more (the ready marker
    // goes); the requests they sent are still handed on and answered.
    void Retire() {
        LOG4CPLUS_DEBUG(logger, "ServerMediator::Retire");
        server->Retire();
    }

    // Main thread: throws Interprocess::TimeOutException when the request
    // channel's lock stays taken past its deadline (its holder died with
    // it), so that no request can reach the worker again. Nothing is
    // probed once the mediator stopped.
    void ProbeRequestChannel() const {
        if (running) {
            server->ProbeRequestChannel();
        }
    }

    // Main thread: hands one response to the ledger, which delivers it on
    // its sender thread if the request is taken and not yet answered. The
    // holders are copied; they keep the texts and the snapshot alive until
    // the delivery ends. The snapshot's holder is a ViewHolder (an image,
    // encoded on the sender thread) or a SnapshotHolder (encoded already).
    template <class NameHolder, class UrlHolder, class DetailHolder, class BodyHolder, class ImageHolder>
    void SendResponse(const NameHolder& name, const UrlHolder& url, const DetailHolder& detail, const BodyHolder& body,
                      const ImageHolder& view) {
        LOG4CPLUS_DEBUG(logger, "ServerMediator::SendResponse => " << (url.IsSet() ? 1 : 0));
        ImageHolder image(view);
        const bool accepted = ledger.Answer(name.Data(), [this, name, url, detail, body, image]() mutable {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::DoSendResponse => " << url.Data());
            std::uint32_t snapshotLength = 0;
            const boost::shared_array<char> snapshot = EncodeSnapshot(image, url.Data(), &snapshotLength);
            Deliver(name.Data(), url.Data(), detail.Data(), body.Data(), snapshot ? snapshot.get() : "",
                    snapshotLength);
        });
        if (!accepted) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::SendResponse => ERROR: Response sent?");
        }
    }

    // Stops the serving side: the ledger closes, and a request in the slot
    // is taken out with force (and answered dead unless its name is in
    // flight), kept without (UnhandledRequestException, logged); then the
    // server is stopped, which answers the queued requests dead, and the
    // serving thread interrupted. Taken requests stay taken: their pages
    // may still answer them. Does nothing when not running.
    void StopServer(bool force, bool verbose) {
        if (verbose) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::StopServer");
        }
        if (!running) {
            return;
        }
        if (!force && ledger.HasOffered()) {
            if (verbose) {
                LOG4CPLUS_ERROR(logger, "ServerMediator::StopServer => UnhandledRequestException");
            }
        } else {
            ledger.Close();
            AnswerOffered(false);
        }
        try {
            server->Stop(true, verbose);
        } catch (const std::exception& e) {
            if (verbose) {
                LOG4CPLUS_ERROR(logger, "ServerMediator::StopServer => Exception: " << e.what());
            }
        }
        serverThread.interrupt();
        running = false;
    }

    // Any thread: ends the worker that can no longer serve (its main thread
    // stuck, its request channel wedged). Logs why at FATAL, answers what
    // it holds as AnswerForStuckMainThread does (the queued requests only
    // when the channel can still be drained), removes the worker's shared
    // names and ends the process with status. Only the first call does
    // this; a second one, on another thread, waits for the end.
    [[noreturn]] void GiveUp(const std::string& why, const std::string& stuckName, int status, bool drainQueue) {
        static std::atomic<bool> givingUp(false);
        if (givingUp.exchange(true)) {
            for (;;) {
                boost::this_thread::sleep_for(boost::chrono::seconds(1));
            }
        }
        LOG4CPLUS_FATAL(logger, why);
        // The line must survive whatever ends the process first.
        std::cout.flush();
        AnswerForStuckMainThread(stuckName, drainQueue);
        ledger.AwaitDelivered(TimeDivisor::Scaled(GiveUpDeliveryMs));
        server->RemoveNames();
        std::cout.flush();
        std::fflush(nullptr);
        std::_Exit(status);
    }

    // Any thread, once the main thread is stuck for good: answers what it
    // never will. The request in the hand-over slot and every taken request
    // are answered dead, so that their clients send them again, except
    // stuckName's, which is answered as a failed navigation without status,
    // so that its client does not; then, with drainQueue, the server is
    // stopped, and its drain answers the queued requests dead. An answer
    // the ledger accepted already is left to its sender thread.
    void AnswerForStuckMainThread(const std::string& stuckName, bool drainQueue) {
        running = false;
        ledger.Close();
        AnswerOffered(true);
        for (const boost::shared_ptr<ServerRequest>& request : ledger.Abandon()) {
            const bool stuck = request->name == stuckName;
            const char* const answer = stuck ? "" : WireFormat::Dead;
            Deliver(request->name.c_str(), request->url.c_str(), answer, answer, "", 0);
            ledger.Delivered(request->name);
        }
        if (!drainQueue) {
            for (const boost::shared_ptr<ServerRequest>& request : ledger.TakeQueued()) {
                AnswerDead(request);
            }
            return;
        }
        try {
            server->Stop(true, true);
        } catch (const std::exception& e) {
            LOG4CPLUS_ERROR(logger, "ServerMediator::AnswerForStuckMainThread => Exception: " << e.what());
        }
    }

private:
    // How long a worker that gives up waits for the answers it accepted
    // to be delivered before it ends.
    static constexpr int GiveUpDeliveryMs = 2000;

    // A request still in the slot was never taken by the main thread: it is
    // answered dead, so that its client can send it again. Under a name in
    // flight it is the second request of that name, which taking it would
    // have dropped, and is answered only when always.
    void AnswerOffered(bool always) {
        bool inFlight = false;
        if (const boost::shared_ptr<ServerRequest> request = ledger.TakeOffered(inFlight)) {
            if (always || !inFlight) {
                AnswerDead(request);
            }
        }
    }

    // The holder's snapshot, encoded (a ViewHolder's image is freed once
    // it is). A snapshot that cannot be made (no memory for it) is left
    // out, as one the page could not be drawn for is, rather than leaving
    // the request unanswered.
    template <class ImageHolder>
    boost::shared_array<char> EncodeSnapshot(ImageHolder& view, const char* url, std::uint32_t* length) {
        try {
            return view.Encode(length);
        } catch (const std::exception& e) {
            LOG4CPLUS_ERROR(logger, "ServerMediator::DoSendResponse => no snapshot for " << url << ": " << e.what());
        }
        *length = 0;
        return boost::shared_array<char>();
    }

    // A failed delivery ends here: it will never succeed, and the other
    // deliveries go on.
    void Deliver(const char* name, const char* url, const char* detail, const char* body, const char* snapshot,
                 std::uint32_t snapshotLength) {
        try {
            server->SendResponse(name, url, detail, body, snapshot, snapshotLength);
        } catch (const std::exception& e) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::DoSendResponse => Exception: " << e.what());
        } catch (...) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::DoSendResponse => EXCEPTION");
        }
    }

    // A client that has gone cannot be answered; the serving goes on.
    void AnswerDead(const boost::shared_ptr<ServerRequest>& request) {
        try {
            server->SendDeadResponse(request);
        } catch (const std::exception& e) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::ProcessRequest => Exception: " << e.what());
        }
    }

    // The server is shared, not borrowed, so that it outlives the mediator
    // whatever order the process's static objects go in.
    boost::shared_ptr<Server> server;
    log4cplus::Logger logger;
    std::atomic<bool> running;
    // Destroyed before the server and the logger, which its deliveries use:
    // it delivers what it accepted before it goes.
    RequestLedger ledger;
    boost::thread serverThread;
};

} // namespace Browser
} // namespace Orvo

#endif
