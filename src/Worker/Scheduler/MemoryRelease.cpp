#include "Scheduler/MemoryRelease.h"

#include <QWebSettings>
#include <log4cplus/loggingmacros.h>

#include "Process/HeapRelease.h"
#include "Support/LoggerFactory.h"

MemoryRelease::MemoryRelease()
    : logger(Orvo::Logging::LoggerFactory::GetLogger("MemoryRelease")),
      lastOpen(0),
      closedSinceTrim(false),
      idleCleared(true) {
    sinceTrim.start();
}

void MemoryRelease::Tick(std::size_t openPages) {
    closedSinceTrim = closedSinceTrim || openPages < lastOpen;
    lastOpen = openPages;
    if (openPages != 0) {
        idleCleared = false;
    } else if (!idleCleared) {
        idleCleared = true;
        QWebSettings::clearMemoryCaches();
        Trim();
        return;
    }
    if (closedSinceTrim && sinceTrim.hasExpired(TrimIntervalMs)) {
        Trim();
    }
}

void MemoryRelease::Trim() {
    const long took = Orvo::Browser::HeapRelease::Trim();
    closedSinceTrim = false;
    sinceTrim.restart();
    LOG4CPLUS_DEBUG(logger, "MemoryRelease::Trim => " << took << " us");
}
