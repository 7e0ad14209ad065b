#include "Shell/QActivityTracker.h"

#include <QCoreApplication>
#include <QTimer>

#include "Request/QRequestHandler.h"

namespace {

const int BeatIntervalMs = 100;

} // namespace

QActivityTracker::QActivityTracker(Orvo::Browser::MainThreadWatchdog& watchdog, QObject* parent)
    : QObject(parent), watchdog(watchdog), beatTimer(new QTimer(this)) {
    connect(beatTimer, SIGNAL(timeout()), this, SLOT(OnBeatTimer()));
    beatTimer->start(BeatIntervalMs);
    QCoreApplication::instance()->installEventFilter(this);
}

QActivityTracker::~QActivityTracker() {
    QCoreApplication::instance()->removeEventFilter(this);
}

void QActivityTracker::OnBeatTimer() {
    watchdog.Beat();
}

bool QActivityTracker::eventFilter(QObject* receiver, QEvent*) {
    QRequestHandler* handler = ServingHandlerOf(receiver);
    if (handler != nullptr && handler != current) {
        current = handler;
        watchdog.Working(handler->RequestName().toStdString(), handler->RequestUrl().toStdString());
    }
    return false;
}

QRequestHandler* QActivityTracker::ServingHandlerOf(QObject* receiver) {
    for (QObject* object = receiver; object != nullptr; object = object->parent()) {
        QRequestHandler* handler = qobject_cast<QRequestHandler*>(object);
        if (handler != nullptr) {
            const QRequestHandler::State state = handler->GetState();
            return state == QRequestHandler::State::Loading || state == QRequestHandler::State::Ready ? handler
                                                                                                       : nullptr;
        }
    }
    return nullptr;
}
