#include "Shell/QParentWatch.h"

#include <QTimer>
#include <unistd.h>

#include "Protocol/WireFormat.h"

namespace {

pid_t NamedParent() {
    bool ok = false;
    const long pid = qEnvironmentVariable(Orvo::Browser::WireFormat::ParentPidVariable).toLong(&ok);
    return ok && pid > 1 ? static_cast<pid_t>(pid) : 0;
}

} // namespace

QParentWatch::QParentWatch(QObject* parent) : QObject(parent), watched(NamedParent()), timer(new QTimer(this)) {
    if (watched == 0) {
        return;
    }
    connect(timer, SIGNAL(timeout()), this, SLOT(OnCheckTimer()));
    timer->start(CheckMs);
    // The parent may have ended before the worker got this far.
    QTimer::singleShot(0, this, SLOT(OnCheckTimer()));
}

void QParentWatch::OnCheckTimer() {
    if (timer->isActive() && ::getppid() != watched) {
        timer->stop();
        emit Gone();
    }
}
