#ifndef ORVO_WORKER_SHELL_QPARENTWATCH_H
#define ORVO_WORKER_SHELL_QPARENTWATCH_H

#include <QObject>

#include "Kernel/ParentWatch.h"

class QTimer;

// Notices that the process that started the worker is gone (see
// ParentWatch): looks every CheckMs on the GUI thread and emits Gone once.
class QParentWatch : public QObject {
    Q_OBJECT

public:
    static constexpr int CheckMs = 500;

    explicit QParentWatch(QObject* parent);

    // The process watched; 0 when none is.
    pid_t Watched() const { return watch.Watched(); }

signals:
    void Gone();

private slots:
    void OnCheckTimer();

private:
    const Orvo::Browser::ParentWatch watch;
    QTimer* timer;
};

#endif
