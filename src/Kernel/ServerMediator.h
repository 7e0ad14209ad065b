#ifndef ORVO_KERNEL_SERVERMEDIATOR_H
#define ORVO_KERNEL_SERVERMEDIATOR_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/bind/bind.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <boost/thread/thread_time.hpp>
#include <boost/unordered_map.hpp>
#include <boost/unordered_set.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "Kernel/Server.h"
#include "Kernel/ServerStoppedException.h"
#include "Kernel/ServerTimes.h"
#include "Kernel/TimeOutException.h"
#include "Kernel/UnhandledRequestException.h"
#include "Protocol/ServerRequest.h"
#include "Protocol/SnapshotEncoder.h"
#include "Support/LoggerFactory.h"

namespace Orvo {
namespace Browser {

// The one object through which the serving thread and the main thread
// exchange requests and results (ServerMediator::instance).
//
// Requests: the serving thread hands each request to ProcessRequest, which
// waits until the one-place hand-over slot is free and fills it; the main
// thread takes it with GetRequest, which registers it by name in the map of
// taken requests. Results: the main thread hands them to SendResponse, which
// starts a detached sender thread; that thread delivers the result through
// the server if the name is still registered, then unregisters it, so a
// second response for one name is never delivered. StopServer stops the
// serving side; the destructor waits for sender threads still delivering.
//
// Threads: Create, StartServer, GetRequest, HasUnfinishedRequest,
// SendResponse and StopServer on the main thread; ProcessRequest on the
// serving thread only (one producer); the map operations also on sender
// threads. Lock order: pendingMutex before the map's lock; requestMutex
// alone.
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
        : server(Server::Create(pid)),
          running(false),
          hasPending(false),
          mapSize(0),
          activeSenders(0),
          logger(Logging::LoggerFactory::GetLogger("ServerMediator")) {
        LOG4CPLUS_DEBUG(logger, "ServerMediator => PID: " << pid);
    }

    // Stops if still running, then waits for sender threads still
    // delivering and, for a while, for the serving thread to end: neither
    // may outlive the mediator.
    ~ServerMediator() {
        if (running) {
            StopServer(true, false);
        }
        WaitForSenders();
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
        serverThread = boost::thread(&Server::Start, server.get(), callback);
    }

    // Serving thread: waits until the slot is free, then fills it. The wait
    // lasts while the mediator runs: the main thread leaves a request in
    // the slot while it has as many pages open as it may (the request then
    // waits, and those behind it wait in the server), and a main thread
    // that no longer comes back is the watchdog's business. A request that
    // comes, or waited, while the mediator stops is answered dead. Returns
    // whether the request was handed over or answered; false only when the
    // slot's lock could not be taken.
    bool ProcessRequest(boost::shared_ptr<ServerRequest> request) {
        if (!running) {
            AnswerDead(request);
            return true;
        }
        LOG4CPLUS_INFO(logger, "ServerMediator::ProcessRequest: " << request->url);
        {
            boost::unique_lock<boost::timed_mutex> lock(pendingMutex);
            while (hasPending && running) {
                pendingFreed.timed_wait(lock, Deadline(SlotCheckMs));
            }
        }
        LOG4CPLUS_DEBUG(logger, "ServerMediator::ProcessRequest => GET");
        if (!running) {
            AnswerDead(request);
            return true;
        }
        boost::unique_lock<boost::timed_mutex> lock(requestMutex, Deadline(ServerTimes::HandOverWaitMs()));
        if (!lock.owns_lock()) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::ProcessRequest => lock2 timeout");
            return false;
        }
        pendingRequest = request;
        hasPending = true;
        requestArrived.notify_all();
        lock.unlock();
        TellRequestArrived();
        return true;
    }

    // Main thread: hook is called on the serving thread each time a request
    // is put into the hand-over slot, so that the main thread can take it
    // at once instead of on its next poll; it must only post a message.
    // An empty hook removes it; once that returns, no call of the old one
    // is running or will begin.
    void SetRequestArrivedHook(const boost::function<void()>& hook) {
        boost::lock_guard<boost::mutex> lock(hookMutex);
        requestArrivedHook = hook;
    }

    // Main thread: takes the pending request, if any, and registers it by
    // name; with a wait, waits once that long for one to arrive. Returns an
    // empty pointer when there is none or a lock is busy (the request then
    // stays for the next call). Throws ServerStoppedException once the
    // server has stopped.
    boost::shared_ptr<ServerRequest> GetRequest(int waitMilliseconds) {
        LOG4CPLUS_DEBUG(logger, "ServerMediator::GetRequest");
        try {
            if (server->IsStopped()) {
                throw ServerStoppedException();
            }
            if (waitMilliseconds != 0) {
                if (!AwaitRequest(waitMilliseconds)) {
                    return boost::shared_ptr<ServerRequest>();
                }
            } else if (!hasPending) {
                return boost::shared_ptr<ServerRequest>();
            }
            return TakePending();
        } catch (const ServerStoppedException&) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator => ServerStoppedException");
            throw;
        } catch (const std::exception& e) {
            LOG4CPLUS_ERROR(logger, "ServerMediator::GetRequest => Exception: " << e.what());
        } catch (...) {
            LOG4CPLUS_ERROR(logger, "ServerMediator::GetRequest => EXCEPTION");
        }
        return boost::shared_ptr<ServerRequest>();
    }

    // Whether a request is anywhere between the request channel and the
    // client: pending, queued, or taken and not yet answered. False when not
    // running, once the server stopped, and on any failure but one: when the
    // request channel's lock stays taken past its deadline (its holder died
    // with it), Interprocess::TimeOutException propagates, since no request
    // can get through that channel again.
    bool HasUnfinishedRequest() const {
        if (!running) {
            return false;
        }
        try {
            boost::unique_lock<boost::timed_mutex> lock(pendingMutex, Deadline(ServerTimes::HandOverWaitMs()));
            if (!lock.owns_lock()) {
                LOG4CPLUS_DEBUG(logger, "ServerMediator::HasUnfinishedRequest => lock timeout");
                throw std::runtime_error("Lock timeout.");
            }
            if (hasPending) {
                return true;
            }
            if (!server || server->IsStopped()) {
                return false;
            }
            return server->HasQueuedRequests() || GetServerRequestMapSize() != 0;
        } catch (const Interprocess::TimeOutException&) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::HasUnfinishedRequest => request channel lock timeout");
            throw;
        } catch (const std::exception& e) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::HasUnfinishedRequest => " << "Exception " << e.what());
        } catch (...) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::HasUnhandledRequest => EXCEPTION");
        }
        return false;
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

    // Unregisters name; false when the map is busy or name is not there.
    bool RemoveFromServerRequestMap(const std::string& name) {
        boost::unique_lock<boost::timed_mutex> lock(serverRequestMapMutex, Deadline(MapLockMs));
        if (!lock.owns_lock()) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::RemoveFromServerRequestMap => lock timeout");
            return false;
        }
        claimedNames.erase(name);
        if (serverRequestMap.erase(name) == 0) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::RemoveFromServerRequestMap => ERROR: removed?");
            return false;
        }
        mapSize = serverRequestMap.size();
        return true;
    }

    // Main thread: hands one response to a new, detached sender thread and
    // returns at once. The holders are copied; they keep the texts and the
    // image alive until the delivery ends. Throws the thread library's
    // resource error when no thread can be started.
    template <class NameHolder, class UrlHolder, class DetailHolder, class BodyHolder, class ImageHolder>
    void SendResponse(const NameHolder& name, const UrlHolder& url, const DetailHolder& detail, const BodyHolder& body,
                      const ImageHolder& view) {
        LOG4CPLUS_DEBUG(logger, "ServerMediator::SendResponse => " << (url.IsSet() ? 1 : 0));
        SenderStarted();
        try {
            boost::thread sender(&ServerMediator::DoSendResponse<NameHolder, UrlHolder, DetailHolder, BodyHolder,
                                                                 ImageHolder>,
                                 this, name, url, detail, body, view);
            sender.detach();
        } catch (...) {
            SenderFinished();
            throw;
        }
    }

    // Stops the serving side: a pending request is taken out of the slot
    // with force (and answered dead unless its name is in flight), kept
    // without; then the server is stopped, which answers the queued
    // requests dead, and the serving thread interrupted. Registered
    // requests stay registered: their pages may still answer them. Does
    // nothing when not running.
    void StopServer(bool force, bool verbose) {
        if (verbose) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::StopServer");
        }
        if (!running) {
            return;
        }
        try {
            ClearSlot(force, verbose);
        } catch (const UnhandledRequestException&) {
            if (verbose) {
                LOG4CPLUS_ERROR(logger, "ServerMediator::StopServer => UnhandledRequestException");
            }
        } catch (...) {
            if (verbose) {
                LOG4CPLUS_ERROR(logger, "ServerMediator::StopServer => TIMEOUT");
            }
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
        server->RemoveNames();
        std::cout.flush();
        std::fflush(nullptr);
        std::_Exit(status);
    }

    // Any thread, once the main thread is stuck for good: answers what it
    // never will. The request in the hand-over slot and every registered
    // request are answered dead, so that their clients send them again,
    // except stuckName's, which is answered as a failed navigation without
    // status, so that its client does not; then, with drainQueue, the
    // server is stopped, and its drain answers the queued requests dead. A
    // request a sender thread is already delivering is left to it.
    void AnswerForStuckMainThread(const std::string& stuckName, bool drainQueue) {
        running = false;
        boost::shared_ptr<ServerRequest> pending;
        {
            boost::unique_lock<boost::timed_mutex> lock(pendingMutex, Deadline(GetLockMs));
            if (lock.owns_lock() && hasPending) {
                pending.swap(pendingRequest);
                hasPending = false;
                pendingFreed.notify_all();
            }
        }
        if (pending) {
            Deliver(pending->name.c_str(), pending->url.c_str(), "DEAD", "DEAD", "", 0);
        }
        AnswerRegistered(stuckName);
        if (!drainQueue) {
            server->AnswerWaitingDead();
            return;
        }
        try {
            server->Stop(true, true);
        } catch (const std::exception& e) {
            LOG4CPLUS_ERROR(logger, "ServerMediator::AnswerForStuckMainThread => Exception: " << e.what());
        }
    }

private:
    typedef boost::unordered_map<std::string, boost::shared_ptr<ServerRequest>> RequestMap;

    // Answers every registered request that no sender thread is
    // delivering: dead, but stuckName's as a failed navigation without
    // status, so that its client does not send it again. Their pages' own
    // answers are then no longer delivered.
    void AnswerRegistered(const std::string& stuckName) {
        for (const boost::shared_ptr<ServerRequest>& request : RegisteredRequests()) {
            if (!ClaimForDelivery(request->name)) {
                continue;
            }
            const bool stuck = request->name == stuckName;
            Deliver(request->name.c_str(), request->url.c_str(), stuck ? "" : "DEAD", stuck ? "" : "DEAD", "", 0);
            RemoveFromServerRequestMap(request->name);
        }
    }

    std::vector<boost::shared_ptr<ServerRequest>> RegisteredRequests() {
        std::vector<boost::shared_ptr<ServerRequest>> requests;
        boost::unique_lock<boost::timed_mutex> lock(serverRequestMapMutex, Deadline(GetLockMs));
        if (lock.owns_lock()) {
            for (const RequestMap::value_type& entry : serverRequestMap) {
                requests.push_back(entry.second);
            }
        }
        return requests;
    }

    static constexpr int GetLockMs = 100;
    // How often a wait for the slot looks whether the mediator still runs.
    static constexpr int SlotCheckMs = 1000;
    static constexpr int MapLockMs = 50;

    static boost::system_time Deadline(int ms) { return boost::get_system_time() + boost::posix_time::milliseconds(ms); }

    bool AwaitRequest(int waitMilliseconds) {
        boost::unique_lock<boost::timed_mutex> lock(requestMutex, Deadline(waitMilliseconds));
        if (!lock.owns_lock()) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::GetRequest => requestMutex timeout");
            return false;
        }
        return hasPending || requestArrived.timed_wait(lock, Deadline(waitMilliseconds));
    }

    boost::shared_ptr<ServerRequest> TakePending() {
        LOG4CPLUS_DEBUG(logger, "ServerMediator::GetRequest => GET");
        boost::unique_lock<boost::timed_mutex> lock(pendingMutex, Deadline(GetLockMs));
        if (!lock.owns_lock()) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::GetRequest => lock timeout");
            return boost::shared_ptr<ServerRequest>();
        }
        const boost::shared_ptr<ServerRequest> request = pendingRequest;
        if (!request) {
            return boost::shared_ptr<ServerRequest>();
        }
        const Registration registration = PutToServerRequestMap(request);
        if (registration == Registration::Busy) {
            return boost::shared_ptr<ServerRequest>();
        }
        pendingRequest.reset();
        hasPending = false;
        pendingFreed.notify_one();
        if (registration == Registration::Duplicate) {
            // Answering it would answer the request in flight under that
            // name: the first registration holds, this one is dropped.
            LOG4CPLUS_ERROR(logger, "ServerMediator::GetRequest => name already in flight: " << request->name);
            return boost::shared_ptr<ServerRequest>();
        }
        LOG4CPLUS_DEBUG(logger, "ServerMediator::GetRequest => GET: " << request->url);
        return request;
    }

    void ClearSlot(bool force, bool verbose) {
        boost::unique_lock<boost::timed_mutex> lock(pendingMutex, Deadline(ServerTimes::HandOverWaitMs()));
        if (!lock.owns_lock()) {
            if (verbose) {
                LOG4CPLUS_DEBUG(logger, "ServerMediator::StopServer => lock timeout");
            }
            throw std::runtime_error("Lock timeout.");
        }
        if (!hasPending) {
            return;
        }
        if (!force) {
            throw UnhandledRequestException();
        }
        running = false;
        boost::shared_ptr<ServerRequest> request;
        request.swap(pendingRequest);
        hasPending = false;
        AnswerUntaken(request);
        pendingFreed.notify_one();
    }

    // A request still in the slot was never taken by the main thread: it is
    // answered dead, so that its client can send it again. Under a name in
    // flight it is the second request of that name, which taking it would
    // have dropped: the answer under that name is the first one's.
    void AnswerUntaken(const boost::shared_ptr<ServerRequest>& request) {
        if (!GetFromServerRequestMap(request->name)) {
            AnswerDead(request);
        }
    }

    enum class Registration { Registered, Busy, Duplicate };

    Registration PutToServerRequestMap(const boost::shared_ptr<ServerRequest>& request) {
        boost::unique_lock<boost::timed_mutex> lock(serverRequestMapMutex, Deadline(MapLockMs));
        if (!lock.owns_lock()) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::PutToServerRequestMap => lock timeout");
            return Registration::Busy;
        }
        if (!serverRequestMap.emplace(request->name, request).second) {
            return Registration::Duplicate;
        }
        claimedNames.erase(request->name);
        mapSize = serverRequestMap.size();
        return Registration::Registered;
    }

    boost::shared_ptr<ServerRequest> GetFromServerRequestMap(const std::string& name) {
        boost::unique_lock<boost::timed_mutex> lock(serverRequestMapMutex, Deadline(MapLockMs));
        if (!lock.owns_lock()) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::GetFromServerRequestMap => lock timeout");
            return boost::shared_ptr<ServerRequest>();
        }
        const RequestMap::const_iterator found = serverRequestMap.find(name);
        return found == serverRequestMap.end() ? boost::shared_ptr<ServerRequest>() : found->second;
    }

    // Marks a registered name as being answered, so that a second sender
    // thread for the same name, running at the same time, does not deliver
    // too. The registration itself stays until the delivery has ended.
    bool ClaimForDelivery(const std::string& name) {
        boost::unique_lock<boost::timed_mutex> lock(serverRequestMapMutex, Deadline(MapLockMs));
        if (!lock.owns_lock()) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::GetFromServerRequestMap => lock timeout");
            return false;
        }
        return serverRequestMap.count(name) != 0 && claimedNames.insert(name).second;
    }

    // The entry count; read without the lock, from the count kept beside the
    // map, when the lock is busy.
    std::size_t GetServerRequestMapSize() const {
        boost::unique_lock<boost::timed_mutex> lock(serverRequestMapMutex, Deadline(MapLockMs));
        if (!lock.owns_lock()) {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::GetServerRequestMapSize => lock timeout");
            return mapSize;
        }
        return serverRequestMap.size();
    }

    // Sender thread: delivers one response if its name is registered. A
    // failed delivery ends here and unregisters the name, since it will
    // never succeed; the other deliveries go on.
    template <class NameHolder, class UrlHolder, class DetailHolder, class BodyHolder, class ImageHolder>
    void DoSendResponse(NameHolder name, UrlHolder url, DetailHolder detail, BodyHolder body, ImageHolder view) {
        try {
            LOG4CPLUS_DEBUG(logger, "ServerMediator::DoSendResponse => " << url.Data());
            if (ClaimForDelivery(name.Data())) {
                std::uint32_t snapshotLength = 0;
                const boost::shared_array<char> snapshot = EncodeSnapshot(view, url.Data(), &snapshotLength);
                Deliver(name.Data(), url.Data(), detail.Data(), body.Data(), snapshot ? snapshot.get() : "",
                        snapshotLength);
                RemoveFromServerRequestMap(name.Data());
            } else {
                LOG4CPLUS_DEBUG(logger, "ServerMediator::SendResponse => ERROR: Response sent?");
            }
        } catch (...) {
        }
        SenderFinished();
    }

    // The image goes as soon as its bitmap exists: one full bitmap at most
    // is held beside the compressed block. A snapshot that cannot be made
    // (no memory for it) is left out, as one the page could not be drawn
    // for is, rather than leaving the request unanswered.
    template <class ImageHolder>
    boost::shared_array<char> EncodeSnapshot(ImageHolder& view, const char* url, std::uint32_t* length) {
        try {
            return SnapshotEncoder::Encode(view.View(), length, [&view]() { view.Release(); });
        } catch (const std::exception& e) {
            LOG4CPLUS_ERROR(logger, "ServerMediator::DoSendResponse => no snapshot for " << url << ": " << e.what());
        }
        view.Release();
        *length = 0;
        return boost::shared_array<char>();
    }

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

    void TellRequestArrived() {
        boost::lock_guard<boost::mutex> lock(hookMutex);
        if (requestArrivedHook) {
            requestArrivedHook();
        }
    }

    void SenderStarted() {
        boost::lock_guard<boost::mutex> lock(sendersMutex);
        ++activeSenders;
    }

    void SenderFinished() {
        boost::lock_guard<boost::mutex> lock(sendersMutex);
        if (--activeSenders == 0) {
            sendersDone.notify_all();
        }
    }

    void WaitForSenders() {
        boost::unique_lock<boost::mutex> lock(sendersMutex);
        while (activeSenders > 0) {
            sendersDone.wait(lock);
        }
    }

    // The server is shared, not borrowed, so that it outlives the mediator
    // whatever order the process's static objects go in.
    boost::shared_ptr<Server> server;
    boost::thread serverThread;
    std::atomic<bool> running;
    boost::shared_ptr<ServerRequest> pendingRequest;
    std::atomic<bool> hasPending;
    RequestMap serverRequestMap;
    // Registered names whose answer a sender thread is delivering.
    boost::unordered_set<std::string> claimedNames;
    std::atomic<std::size_t> mapSize;
    mutable boost::timed_mutex pendingMutex;
    boost::condition_variable_any pendingFreed;
    boost::timed_mutex requestMutex;
    boost::condition_variable_any requestArrived;
    mutable boost::timed_mutex serverRequestMapMutex;
    boost::mutex sendersMutex;
    boost::condition_variable sendersDone;
    int activeSenders;
    // Guards requestArrivedHook.
    boost::mutex hookMutex;
    boost::function<void()> requestArrivedHook;
    log4cplus::Logger logger;
};

} // namespace Browser
} // namespace Orvo

#endif
