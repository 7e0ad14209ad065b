#ifndef ORVO_WORKER_SHELL_QACTIVITYTRACKER_H
#define ORVO_WORKER_SHELL_QACTIVITYTRACKER_H

#include <QObject>
#include <QPointer>

#include "Kernel/MainThreadWatchdog.h"

class QRequestHandler;
class QTimer;

// Keeps the main-thread watchdog informed from inside the GUI thread: a
// timer beats it on every pass through the event loop that reaches the
// timer, and an application-wide event filter tells it which request the
// thread turns to. An event belongs to a request when its receiver is a
// request handler that is serving, or one of that handler's descendants
// (its page, network manager, replies and timers); events that belong to
// no request leave the last one standing, since the engine's own timers
// run page scripts for whichever page set them.
class QActivityTracker : public QObject {
    Q_OBJECT

public:
    QActivityTracker(Orvo::Browser::MainThreadWatchdog& watchdog, QObject* parent);
    ~QActivityTracker() override;

protected:
    bool eventFilter(QObject* receiver, QEvent* event) override;

private slots:
    void OnBeatTimer();

private:
    static QRequestHandler* ServingHandlerOf(QObject* receiver);

    Orvo::Browser::MainThreadWatchdog& watchdog;
    QPointer<QRequestHandler> current;
    QTimer* beatTimer;
};

#endif
