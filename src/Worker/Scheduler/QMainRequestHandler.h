#ifndef ORVO_WORKER_SCHEDULER_QMAINREQUESTHANDLER_H
#define ORVO_WORKER_SCHEDULER_QMAINREQUESTHANDLER_H

#include <cstddef>
#include <list>

#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <boost/shared_ptr.hpp>
#include <log4cplus/logger.h>

#include "Kernel/RecyclePolicy.h"
#include "Kernel/ServerMediator.h"
#include "Request/QRequestHandler.h"
#include "Scheduler/MemoryRelease.h"

class QTimer;

// The one long-lived object of the GUI thread. Its constructor creates the
// server mediator and starts serving. A request is taken the moment the
// serving thread hands it over, and the one left waiting while the open-page
// limit was met is taken the moment a page is answered; the poll timer's
// ticks only catch what such a wake-up missed. The first request is served
// on this handler's own page,
// which is deleted once that request is answered; every later request goes
// to a new QRequestHandler. Once its own request is over (or the server has
// stopped) and no spawned handler is alive, the idle timer measures the
// first request's keep time; any request or live handler stops it. When it
// runs out and the mediator has nothing unfinished, the handler deletes
// itself; its destructor stops the server and quits the event loop.
//
// A stop signal (StopOnSignal), or the end of the client that started the
// worker (StopOnParentGone), ends the worker the same way, sooner: the
// server stops at once (no request is taken any more, the queued ones are
// answered dead, the shared names go), the open pages have StopGraceMs to
// answer, and what is still open then is answered dead. Every
// ChannelCheckMs the handler makes sure the request channel's lock can
// still be taken; when a client died holding it, the worker gives up with
// ExitStatus::ChannelWedged.
//
// A worker started with recycling limits (--recycle-pages, --recycle-rss)
// retires once past one: its ready marker goes, so that clients send it
// nothing more, and it serves every request it was sent as usual. Once
// none is open or unanswered and RetireSettleMs have passed since, it stops
// as on a signal and exits with ExitStatus::Recycled.
class QMainRequestHandler : public QRequestHandler {
    Q_OBJECT

public:
    // The parent is not used: the handler has none and ends its own life.
    explicit QMainRequestHandler(QObject* parent);
    ~QMainRequestHandler() override;

    // Releases the page of the handler's own request; the handler itself is
    // not deleted this way.
    void Destroy() override;

    // The poll timer, a child of this handler, stopped by the destructor.
    QTimer* pollTimer;

    // How long open pages may still answer after a stop signal.
    static constexpr int StopGraceMs = 5000;
    // How often the request channel's lock is tried.
    static constexpr int ChannelCheckMs = 2000;
    // How long a retiring worker still waits for requests that a client
    // sent as its ready marker went.
    static constexpr int RetireSettleMs = 1000;

public slots:
    // Stops the worker on the signal named signalName ("SIGTERM"), logging
    // it at INFO; a second signal changes nothing.
    void StopOnSignal(const QString& signalName);
    // Stops the worker as on a signal, logging at WARN that the process
    // that started it is gone.
    void StopOnParentGone();

private slots:
    void OnPollTimer();
    void OnSuicideTimer();
    void OnChannelCheckTimer();
    // The stop signal's grace ran out: what is open is answered dead.
    void OnStopGraceTimer();
    // Posted by the serving thread when a request is handed over, and
    // queued when a page is answered (room for a request held back by the
    // open-page limit): a waiting request is taken at once.
    void OnMayTake();

private:
    static bool Destroyed(const QPointer<QRequestHandler>& handler) { return handler.isNull(); }

    // Takes at most one request and serves it, or tracks idleness.
    void TakeOne();
    // Serves request on this handler's page if it has served none yet, else
    // on a new spawned handler.
    void Dispatch(const Orvo::Browser::ServerRequest& request);
    // The handler's own request has been answered, or the server stopped.
    bool OwnRequestOver() const;
    // Pages not yet answered, its own included.
    std::size_t OpenPages() const;
    bool OwnPageOpen() const;
    static std::size_t MaxPagesOfConfiguration();
    // Starts the idle timer when nothing is alive, stops it otherwise.
    void TrackIdleness();
    // Stops the server and gives the open pages StopGraceMs.
    void Stop();
    // After a stop: ends the worker once no page is open.
    void EndStopWhenQuiet();
    // Answers the pages still open dead and deletes this handler.
    void EndStop();
    [[noreturn]] void GiveUpWedgedChannel();
    // Retires the worker once past its recycling limits; stops a retiring
    // one once it holds nothing.
    void CheckRecycling();
    bool HoldsUnanswered();

    log4cplus::Logger logger;
    boost::shared_ptr<Orvo::Browser::ServerMediator> serverMediator;
    // The spawned handlers still alive, in spawn order.
    std::list<QPointer<QRequestHandler>> handlers;
    // Every handler spawned so far, deleted ones included.
    std::size_t spawned;
    bool serverStopped;
    // No request is taken while this many pages are open: it waits in the
    // hand-over slot, and those behind it in the request channel.
    const std::size_t maxPages;
    QTimer* idleTimer;
    QTimer* channelTimer;
    // A stop signal came: no request is taken, the worker ends.
    bool stopping;
    QTimer* stopGraceTimer;
    MemoryRelease memoryRelease;
    const Orvo::Browser::RecyclePolicy recycle;
    // Requests taken so far.
    std::size_t taken;
    // Past a recycling limit: clients are told to send no more.
    bool retiring;
    QElapsedTimer sinceRetired;
    // What the application exits with once the handler is gone.
    int exitStatus;
};

#endif
