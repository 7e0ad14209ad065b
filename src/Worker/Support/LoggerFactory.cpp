#include "Support/LoggerFactory.h"

#include <ios>
#include <memory>

#include <log4cplus/consoleappender.h>
#include <log4cplus/fileappender.h>
#include <log4cplus/helpers/loglog.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/loglevel.h>

namespace Orvo {
namespace Logging {

const char* const LoggerFactory::Pattern = "%D{%Y-%m-%d %H:%M:%S,%q} - %p - Thread: %t - %m%n";
const char* const LoggerFactory::DefaultAppenderName = "default";
const char* const LoggerFactory::ConfigAppenderName = "config";

namespace {

void Attach(log4cplus::Logger& logger, log4cplus::SharedAppenderPtr appender, const char* name) {
    appender->setName(name);
    appender->setLayout(std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout(LoggerFactory::Pattern)));
    logger.addAppender(appender);
}

// Each line is flushed as it is written, as the file appender's are: a
// worker whose standard output is a file and that is killed (by a signal,
// the OOM killer, a pool replacing it) leaves every line it logged.
log4cplus::SharedAppenderPtr NewConsoleAppender() {
    return log4cplus::SharedAppenderPtr(new log4cplus::ConsoleAppender(false, true));
}

// An unknown level name converts to "not set". The root logger must keep a
// real level, or it would let every message through: it keeps the one it had.
void SetLevel(log4cplus::Logger& logger, bool isRoot, log4cplus::LogLevel level) {
    if (isRoot && level == log4cplus::NOT_SET_LOG_LEVEL) {
        log4cplus::helpers::getLogLog().error("You have tried to set NOT_SET_LOG_LEVEL to root.");
        return;
    }
    logger.setLogLevel(level);
}

} // namespace

log4cplus::Logger LoggerFactory::InitLogger() {
    log4cplus::initialize();
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    Attach(root, NewConsoleAppender(), DefaultAppenderName);
    root.setLogLevel(log4cplus::INFO_LOG_LEVEL);
    return root;
}

bool LoggerFactory::ConfigLogger(const std::string& loggerName, const std::string& logLevel,
                                 const std::string& logFile) {
    log4cplus::Logger logger = GetLogger(loggerName);
    const bool isRoot = loggerName.empty();
    const bool replaced = (isRoot && logger.getAppender(DefaultAppenderName))
                          || logger.getAppender(ConfigAppenderName);

    if (logger.getAppender(DefaultAppenderName)) {
        logger.removeAppender(DefaultAppenderName);
    }
    if (logger.getAppender(ConfigAppenderName)) {
        logger.removeAppender(ConfigAppenderName);
    }

    log4cplus::SharedAppenderPtr appender =
        logFile.empty() ? NewConsoleAppender()
                        : log4cplus::SharedAppenderPtr(new log4cplus::FileAppender(logFile, std::ios::app, true));
    Attach(logger, appender, ConfigAppenderName);
    SetLevel(logger, isRoot, log4cplus::getLogLevelManager().fromString(logLevel));
    return replaced;
}

log4cplus::Logger LoggerFactory::GetLogger(const std::string& name) {
    return name.empty() ? log4cplus::Logger::getRoot() : log4cplus::Logger::getInstance(name);
}

} // namespace Logging
} // namespace Orvo
