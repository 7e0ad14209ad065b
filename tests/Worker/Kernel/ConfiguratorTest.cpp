#include "Kernel/Configurator.h"

#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "Common/ChildProcess.h"
#include "Common/TemporaryDirectory.h"
#include "Support/LoggerFactory.h"

namespace {

using Orvo::Browser::Configurator;

const char* const Prefix = "Orvo.browser.webkit.Server";
const char* const DefaultIni = "Orvo.browser.webkit.ini";

struct Outcome {
    int status;
    std::string output;
};

// Builds a configurator as start-up does, in a child working in directory,
// and prints what it chose after the log: the file, the root level and the
// root logger's appender names.
Outcome Configure(const OrvoTest::TemporaryDirectory& directory, const std::vector<std::string>& args, int pid = 4711) {
    Outcome outcome;
    outcome.status = OrvoTest::RunCaptured(
        [&] {
            if (::chdir(directory.path.c_str()) != 0) {
                return 90;
            }
            log4cplus::Logger root = Orvo::Logging::LoggerFactory::InitLogger();
            boost::program_options::options_description description("Options");
            Configurator configurator(pid, args, Prefix, DefaultIni, description);
            std::cout << "file=" << configurator.ConfigFile() << " level=" << root.getLogLevel() << " appenders=";
            for (const auto& appender : root.getAllAppenders()) {
                std::cout << appender->getName() << ";";
            }
            std::cout << "\n";
            return 0;
        },
        outcome.output);
    return outcome;
}

std::string Section(const std::string& body) {
    return std::string("[") + Prefix + "]\n" + body;
}

TEST(Configurator, WithoutAnyFileTheStartUpLoggingStays) {
    OrvoTest::TemporaryDirectory directory;
    const Outcome outcome = Configure(directory, {"orvo-browser"});
    ASSERT_EQ(0, outcome.status) << outcome.output;
    EXPECT_NE(std::string::npos, outcome.output.find(" - INFO - Thread: ")) << outcome.output;
    EXPECT_NE(std::string::npos, outcome.output.find(" - Configuration file: \n")) << outcome.output;
    EXPECT_NE(std::string::npos, outcome.output.find("file= level=20000 appenders=default;\n")) << outcome.output;
}

TEST(Configurator, TheConfigOptionChoosesTheFile) {
    OrvoTest::TemporaryDirectory directory;
    directory.Write("mine.ini", Section("logLevel=DEBUG\n"));
    directory.Write(DefaultIni, Section("logLevel=ERROR\n"));
    for (const std::vector<std::string>& args : {std::vector<std::string>{"w", "-c", "mine.ini"},
                                                 std::vector<std::string>{"w", "--config", "mine.ini"},
                                                 std::vector<std::string>{"w", "--config=mine.ini", "-platform", "x"}}) {
        const Outcome outcome = Configure(directory, args);
        ASSERT_EQ(0, outcome.status) << outcome.output;
        EXPECT_NE(std::string::npos, outcome.output.find(" - Configuration file: mine.ini\n")) << outcome.output;
        EXPECT_NE(std::string::npos, outcome.output.find("level=10000 appenders=config;")) << outcome.output;
    }
}

TEST(Configurator, AMissingConfigFileFallsBackToTheDefaultThenToAppIni) {
    OrvoTest::TemporaryDirectory directory;
    directory.Write("app.ini", Section("logLevel=WARN\n"));
    Outcome outcome = Configure(directory, {"w", "-c", "missing.ini"});
    ASSERT_EQ(0, outcome.status) << outcome.output;
    EXPECT_NE(std::string::npos, outcome.output.find("file=app.ini level=30000")) << outcome.output;

    directory.Write(DefaultIni, Section("logLevel=ERROR\n"));
    outcome = Configure(directory, {"w", "-c", "missing.ini"});
    EXPECT_NE(std::string::npos, outcome.output.find("file=Orvo.browser.webkit.ini level=40000")) << outcome.output;
}

TEST(Configurator, TheFirstPidPlaceholderOfTheLogFileBecomesTheProcessId) {
    OrvoTest::TemporaryDirectory directory;
    directory.Write(DefaultIni, Section("logFile=a-{pid}-{pid}.log\n"));
    const Outcome outcome = Configure(directory, {"w"}, 4711);
    ASSERT_EQ(0, outcome.status) << outcome.output;
    ASSERT_TRUE(directory.Exists("a-4711-{pid}.log"));
    EXPECT_NE(std::string::npos, directory.Read("a-4711-{pid}.log").find(" - INFO - Thread: "));
    EXPECT_NE(std::string::npos, directory.Read("a-4711-{pid}.log").find(" - Configuration file: Orvo.browser.webkit.ini\n"))
        << "the line goes to the configured log";
    EXPECT_EQ(std::string::npos, outcome.output.find("Configuration file:")) << outcome.output;
}

TEST(Configurator, OnlyAnExactInfoWithoutAFileLeavesLoggingUntouched) {
    OrvoTest::TemporaryDirectory directory;
    directory.Write(DefaultIni, Section("logLevel=INFO\n"));
    EXPECT_NE(std::string::npos, Configure(directory, {"w"}).output.find("appenders=default;"));
    directory.Write(DefaultIni, Section("logLevel=info\n"));
    EXPECT_NE(std::string::npos, Configure(directory, {"w"}).output.find("level=20000 appenders=config;"));
}

TEST(Configurator, UnknownKeysAndOptionsAreIgnored) {
    OrvoTest::TemporaryDirectory directory;
    directory.Write(DefaultIni, "config=other.ini\ncolour=blue\n" + Section("logLevel=ERROR\nshade=dark\n"));
    directory.Write("other.ini", Section("logLevel=DEBUG\n"));
    const Outcome outcome = Configure(
        directory, {"w", "--Orvo.browser.webkit.Server.logLevel=DEBUG", "-platform", "offscreen", "positional"});
    ASSERT_EQ(0, outcome.status) << outcome.output;
    EXPECT_NE(std::string::npos, outcome.output.find("file=Orvo.browser.webkit.ini level=40000")) << outcome.output;
}

TEST(Configurator, ABrokenFileIsFatal) {
    OrvoTest::TemporaryDirectory directory;
    directory.Write(DefaultIni, "[Orvo.browser.webkit.Server\nlogLevel\n");
    const Outcome outcome = Configure(directory, {"w"});
    EXPECT_EQ(OrvoTest::ChildProcess::Threw, outcome.status);
    EXPECT_NE(std::string::npos, outcome.output.find(" - FATAL - Thread: ")) << outcome.output;
    EXPECT_NE(std::string::npos,
              outcome.output.find(" - Unable to configurate => the options configuration file contains an invalid line"))
        << outcome.output;
}

TEST(Configurator, AMalformedCommandLineIsFatal) {
    OrvoTest::TemporaryDirectory directory;
    const Outcome outcome = Configure(directory, {"w", "-c"});
    EXPECT_EQ(OrvoTest::ChildProcess::Threw, outcome.status);
    EXPECT_NE(std::string::npos, outcome.output.find(" - Unable to configurate => ")) << outcome.output;
}

} // namespace
