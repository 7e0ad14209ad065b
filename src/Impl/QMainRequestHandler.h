#ifndef ORVO_IMPL_QMAINREQUESTHANDLER_H
#define ORVO_IMPL_QMAINREQUESTHANDLER_H

#include <list>

#include <QPointer>
#include <boost/shared_ptr.hpp>
#include <log4cplus/logger.h>

#include "Impl/QRequestHandler.h"
#include "Kernel/ServerMediator.h"

class QTimer;

// The one long-lived object of the GUI thread. Its constructor creates the
// server mediator and starts serving; every tick of the poll timer takes at
// most one request. The first request is served on this handler's own page,
// every later one by a new QRequestHandler. Once its own request is over
// (or the server has stopped), each idle tick schedules a check after the
// request's keep time: when no spawned handler is left and the mediator has
// nothing unfinished, the handler deletes itself; its destructor stops the
// server and quits the event loop.
class QMainRequestHandler : public QRequestHandler {
    Q_OBJECT

public:
    // The parent is not used: the handler has none and ends its own life.
    explicit QMainRequestHandler(QObject* parent);
    ~QMainRequestHandler() override;

    // Only marks the handler's own request as over; the handler is not
    // deleted this way.
    void Destroy() override;

    // The poll timer, a child of this handler, stopped by the destructor.
    QTimer* pollTimer;

private slots:
    void OnPollTimer();
    void OnSuicideTimer();

private:
    static bool Destroyed(const QPointer<QRequestHandler>& handler) { return handler.isNull(); }

    log4cplus::Logger logger;
    boost::shared_ptr<Orvo::Browser::ServerMediator> serverMediator;
    std::list<QPointer<QRequestHandler>> handlers;
};

#endif
