#include "Shell/QParentWatch.h"

#include <QTimer>

QParentWatch::QParentWatch(QObject* parent) : QObject(parent), timer(new QTimer(this)) {
    if (watch.Watched() == 0) {
        return;
    }
    connect(timer, SIGNAL(timeout()), this, SLOT(OnCheckTimer()));
    timer->start(CheckMs);
    // The parent may have ended before the worker got this far.
    QTimer::singleShot(0, this, SLOT(OnCheckTimer()));
}

void QParentWatch::OnCheckTimer() {
    if (timer->isActive() && watch.Gone()) {
        timer->stop();
        emit Gone();
    }
}
