// The engine's script watchdog (the limit JSC_watchdog sets) arms a timer
// on a work queue of its own and, when the timer fires, interrupts the
// running script only if the watchdog's deadline has passed. A timer that
// fires before it is taken for a stale one, and nothing arms another: the
// script runs on until the main-thread watchdog gives the whole worker up.
// The queue's timers are Qt coarse timers, which may fire up to 5 % early,
// of whole milliseconds cut from the deadline's microseconds: the script
// was interrupted in some runs and not in others.
//
// So the worker's program defines QObject::startTimer, which the engine's
// library reaches through the dynamic linker (the program exports it): a
// timer of the engine's work queue becomes precise and one millisecond
// longer, so that it never fires before its deadline. Every other timer
// goes to Qt's own function unchanged.

#include <cstdlib>
#include <cstring>

#include <QObject>

#include <dlfcn.h>

namespace {

const char* const EngineWorkItem = "WTF::WorkQueue::WorkItemQt";

typedef int (*StartTimer)(QObject*, int, Qt::TimerType);

StartTimer QtStartTimer() {
    static const StartTimer qt =
        reinterpret_cast<StartTimer>(::dlsym(RTLD_NEXT, "_ZN7QObject10startTimerEiN2Qt9TimerTypeE"));
    if (qt == nullptr) {
        std::abort();
    }
    return qt;
}

} // namespace

int QObject::startTimer(int interval, Qt::TimerType timerType) {
    if (std::strcmp(metaObject()->className(), EngineWorkItem) == 0) {
        interval += 1;
        timerType = Qt::PreciseTimer;
    }
    return QtStartTimer()(this, interval, timerType);
}
