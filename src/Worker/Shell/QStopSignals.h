#ifndef ORVO_WORKER_SHELL_QSTOPSIGNALS_H
#define ORVO_WORKER_SHELL_QSTOPSIGNALS_H

#include <QObject>
#include <QString>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into the Qt signal Received on the GUI
// thread, so that the worker can stop in order instead of dying with its
// shared names left behind. The process's handler only writes the signal's
// number into a pipe; the event loop reads it. A signal that comes before
// the event loop runs waits in the pipe. One object per process; its
// destructor puts the default dispositions back.
class QStopSignals : public QObject {
    Q_OBJECT

public:
    explicit QStopSignals(QObject* parent);
    ~QStopSignals() override;

    // "SIGTERM", "SIGINT" or "SIGHUP".
    static const char* Name(int signalNumber);

signals:
    // signalName is Name(signalNumber).
    void Received(const QString& signalName);

private slots:
    void OnReadable();

private:
    QSocketNotifier* notifier;
};

#endif
