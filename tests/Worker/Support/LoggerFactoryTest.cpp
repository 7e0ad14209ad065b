#include "Support/LoggerFactory.h"

#include <fstream>
#include <regex>
#include <string>

#include <gtest/gtest.h>
#include <log4cplus/loggingmacros.h>

#include "Common/ChildProcess.h"

namespace {

using Orvo::Logging::LoggerFactory;

// Every test changes the process's logging, so each runs in a child.
std::string Captured(const std::function<int()>& body) {
    std::string output;
    EXPECT_EQ(0, OrvoTest::RunCaptured(body, output)) << output;
    return output;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

int AppenderCount(log4cplus::Logger logger) {
    return static_cast<int>(logger.getAllAppenders().size());
}

TEST(LoggerFactory, StartUpLogsInfoAndAboveToStandardOutputInTheLineFormat) {
    const std::string output = Captured([] {
        log4cplus::Logger root = LoggerFactory::InitLogger();
        LOG4CPLUS_DEBUG(root, "hidden");
        LOG4CPLUS_INFO(LoggerFactory::GetLogger("Server"), "Server::Stopped");
        LOG4CPLUS_ERROR(root, "broken");
        return 0;
    });
    const std::regex lines(
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} - INFO - Thread: \\S+ - Server::Stopped\n"
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} - ERROR - Thread: \\S+ - broken\n");
    EXPECT_TRUE(std::regex_match(output, lines)) << output;
}

TEST(LoggerFactory, ConfigLoggerReplacesTheStartUpAppenderAndLowersTheLevel) {
    const std::string output = Captured([] {
        log4cplus::Logger root = LoggerFactory::InitLogger();
        if (!LoggerFactory::ConfigLogger("", "DEBUG", "")) {
            return 1;
        }
        if (root.getAppender("default") || !root.getAppender("config") || AppenderCount(root) != 1) {
            return 2;
        }
        LOG4CPLUS_DEBUG(root, "now visible");
        return root.getLogLevel() == log4cplus::DEBUG_LOG_LEVEL ? 0 : 3;
    });
    EXPECT_NE(std::string::npos, output.find(" - DEBUG - Thread: ")) << output;
    EXPECT_NE(std::string::npos, output.find(" - now visible\n")) << output;
}

TEST(LoggerFactory, ConfiguringTwiceLeavesOneConfigAppender) {
    Captured([] {
        log4cplus::Logger root = LoggerFactory::InitLogger();
        LoggerFactory::ConfigLogger("", "WARN", "");
        const bool second = LoggerFactory::ConfigLogger("", "ERROR", "");
        EXPECT_TRUE(second);
        EXPECT_EQ(1, AppenderCount(root));
        EXPECT_EQ(log4cplus::ERROR_LOG_LEVEL, root.getLogLevel());
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
}

TEST(LoggerFactory, ANamedLoggerWithoutOurAppendersReportsNothingReplaced) {
    Captured([] {
        LoggerFactory::InitLogger();
        log4cplus::Logger server = LoggerFactory::GetLogger("Server");
        EXPECT_FALSE(LoggerFactory::ConfigLogger("Server", "DEBUG", ""));
        EXPECT_EQ(1, AppenderCount(server));
        EXPECT_TRUE(LoggerFactory::ConfigLogger("Server", "DEBUG", ""));
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
}

TEST(LoggerFactory, LowerCaseLevelsAndAppendingToAnExistingFile) {
    const std::string path = "/tmp/" + OrvoTest::UniqueName("orvo_log") + ".log";
    std::ofstream(path) << "earlier line\n";
    const std::string output = Captured([&] {
        log4cplus::Logger root = LoggerFactory::InitLogger();
        LoggerFactory::ConfigLogger("", "debug", path);
        LOG4CPLUS_DEBUG(root, "to the file");
        return root.getLogLevel() == log4cplus::DEBUG_LOG_LEVEL ? 0 : 1;
    });
    const std::string contents = ReadFile(path);
    std::remove(path.c_str());
    EXPECT_EQ(0u, contents.find("earlier line\n")) << contents;
    EXPECT_NE(std::string::npos, contents.find(" - DEBUG - Thread: ")) << contents;
    EXPECT_NE(std::string::npos, contents.find(" - to the file\n")) << contents;
    EXPECT_EQ(std::string::npos, output.find("to the file")) << "the start-up appender is gone";
}

TEST(LoggerFactory, AnUnknownLevelKeepsInfoButStillSwitchesTheOutput) {
    const std::string path = "/tmp/" + OrvoTest::UniqueName("orvo_log") + ".log";
    const std::string output = Captured([&] {
        log4cplus::Logger root = LoggerFactory::InitLogger();
        LoggerFactory::ConfigLogger("", "LOUD", path);
        LOG4CPLUS_DEBUG(root, "not shown");
        LOG4CPLUS_INFO(root, "shown");
        return root.getLogLevel() == log4cplus::INFO_LOG_LEVEL ? 0 : 1;
    });
    const std::string contents = ReadFile(path);
    std::remove(path.c_str());
    EXPECT_NE(std::string::npos, output.find("You have tried to set NOT_SET_LOG_LEVEL to root.")) << output;
    EXPECT_NE(std::string::npos, contents.find(" - shown\n")) << contents;
    EXPECT_EQ(std::string::npos, contents.find("not shown")) << contents;
}

TEST(LoggerFactory, AFileThatCannotBeOpenedIsReportedAndTheProcessGoesOn) {
    const std::string output = Captured([] {
        log4cplus::Logger root = LoggerFactory::InitLogger();
        LoggerFactory::ConfigLogger("", "INFO", "/nonexistent-directory/worker.log");
        LOG4CPLUS_INFO(root, "dropped");
        return 0;
    });
    EXPECT_NE(std::string::npos, output.find("Unable to open file: /nonexistent-directory/worker.log")) << output;
    EXPECT_EQ(std::string::npos, output.find("dropped")) << output;
}

} // namespace
