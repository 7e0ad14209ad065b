#ifndef ORVO_WORKER_SHELL_QPARENTWATCH_H
#define ORVO_WORKER_SHELL_QPARENTWATCH_H

#include <QObject>

#include <sys/types.h>

class QTimer;

// Notices that the process that started the worker is gone. A client that
// starts a worker names itself in the worker's environment
// (WireFormat::ParentPidVariable); while that process lives it is the
// worker's parent, so a different parent means it ended, killed or not.
// The watch looks every CheckMs on the GUI thread and emits Gone once. A
// worker started without the variable (by hand, by a supervisor) is not
// watched.
class QParentWatch : public QObject {
    Q_OBJECT

public:
    static constexpr int CheckMs = 500;

    explicit QParentWatch(QObject* parent);

    // The process watched; 0 when none is.
    pid_t Watched() const { return watched; }

signals:
    void Gone();

private slots:
    void OnCheckTimer();

private:
    pid_t watched;
    QTimer* timer;
};

#endif
