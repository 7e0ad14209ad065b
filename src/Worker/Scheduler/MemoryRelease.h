#ifndef ORVO_WORKER_SCHEDULER_MEMORYRELEASE_H
#define ORVO_WORKER_SCHEDULER_MEMORYRELEASE_H

#include <cstddef>

#include <QElapsedTimer>
#include <log4cplus/logger.h>

// Gives the memory that answered pages leave behind back to the system as
// the worker goes on: the heap is trimmed after pages close, and the
// engine's memory caches are cleared whenever no page is open. Main thread
// only.
class MemoryRelease {
public:
    // The heap is trimmed at most this often while pages close.
    static constexpr int TrimIntervalMs = 1000;

    MemoryRelease();

    // Called on each poll with the pages open now. When pages closed since
    // the last trim, trims the heap (at most once per TrimIntervalMs); when
    // none is open, first clears the engine's memory caches and trims at
    // once, once per idle spell.
    void Tick(std::size_t openPages);

private:
    void Trim();

    log4cplus::Logger logger;
    std::size_t lastOpen;
    bool closedSinceTrim;
    bool idleCleared;
    QElapsedTimer sinceTrim;
};

#endif
