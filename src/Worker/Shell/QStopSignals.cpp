#include "Shell/QStopSignals.h"

#include <cerrno>
#include <stdexcept>

#include <QSocketNotifier>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

const int Handled[] = {SIGTERM, SIGINT, SIGHUP};

// The pipe between the handler (write end) and the event loop (read end);
// both ends never block.
int signalPipe[2] = {-1, -1};

void WriteSignal(int signalNumber) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    const ssize_t written = ::write(signalPipe[1], &number, 1);
    static_cast<void>(written);
    errno = saved;
}

void SetDisposition(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : Handled) {
        ::sigaction(signalNumber, &action, nullptr);
    }
}

} // namespace

QStopSignals::QStopSignals(QObject* parent) : QObject(parent) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("QStopSignals: no pipe for signals");
    }
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, SIGNAL(activated(int)), this, SLOT(OnReadable()));
    SetDisposition(&WriteSignal);
}

QStopSignals::~QStopSignals() {
    SetDisposition(SIG_DFL);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

const char* QStopSignals::Name(int signalNumber) {
    switch (signalNumber) {
    case SIGTERM:
        return "SIGTERM";
    case SIGINT:
        return "SIGINT";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}

void QStopSignals::OnReadable() {
    unsigned char number = 0;
    while (::read(signalPipe[0], &number, 1) == 1) {
        emit Received(QString::fromLatin1(Name(number)));
    }
}
