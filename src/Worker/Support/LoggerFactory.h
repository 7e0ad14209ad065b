#ifndef ORVO_SUPPORT_LOGGERFACTORY_H
#define ORVO_SUPPORT_LOGGERFACTORY_H

#include <string>

#include <log4cplus/logger.h>

namespace Orvo {
namespace Logging {

// The one place where the process configures log4cplus. Every other class
// only obtains a logger by name (see GetLogger) and writes to it.
//
// InitLogger runs first thing at start-up and sends everything at INFO and
// above to standard output through a console appender named "default".
// ConfigLogger runs at most once afterwards and replaces that output by an
// appender named "config" writing to a file or to standard output, at the
// configured level. Both run on the main thread before any other thread
// exists.
class LoggerFactory {
public:
    static const char* const Pattern;
    static const char* const DefaultAppenderName;
    static const char* const ConfigAppenderName;

    // Attaches the start-up console appender to the root logger, sets the
    // root level to INFO and returns the root logger.
    static log4cplus::Logger InitLogger();

    // Configures the logger named loggerName (the root logger when empty)
    // to write to logFile (standard output when empty) at logLevel, a
    // log4cplus level name in any letter case. The file is opened in append
    // mode with immediate flush. Returns true when an appender of this class
    // ("config", or "default" on the root logger) was replaced.
    static bool ConfigLogger(const std::string& loggerName, const std::string& logLevel,
                             const std::string& logFile);

    // The root logger for an empty name, the named logger otherwise.
    static log4cplus::Logger GetLogger(const std::string& name);
};

} // namespace Logging
} // namespace Orvo

#endif
