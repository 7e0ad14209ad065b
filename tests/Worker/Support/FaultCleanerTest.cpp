#include "Support/FaultCleaner.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <signal.h>

namespace {

using Orvo::Browser::FaultCleaner;

void Say(const char* text) {
    std::fputs(text, stderr);
}

// The terminate handler is process-wide and permanent, so every case runs
// in a process of its own: a death test, which runs the test program again
// (fork and exec) rather than forking a process that may have threads, whose
// child could find a lock of the allocator taken for good.
class FaultCleanerDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FaultCleanerDeathTest, TerminateRunsTheRegisteredFunctionsNewestFirstThenThePreviousHandler) {
    EXPECT_EXIT(
        {
            FaultCleaner::Register([] { Say("first\n"); });
            FaultCleaner::Register([] { Say("second\n"); });
            std::terminate();
        },
        ::testing::KilledBySignal(SIGABRT), "^second\nfirst\nterminate called")
        << "the runtime's own handler still ends the process";
}

TEST_F(FaultCleanerDeathTest, AnUncaughtExceptionOnAnotherThreadRunsTheCleanUp) {
    EXPECT_EXIT(
        {
            FaultCleaner::Register([] { Say("cleaned\n"); });
            std::thread([] { throw std::runtime_error("lost"); }).join();
        },
        ::testing::KilledBySignal(SIGABRT), "^cleaned\n(.|\n)*lost")
        << "the previous handler reports the exception";
}

TEST_F(FaultCleanerDeathTest, ThirtyOneRegistrationsFitAndTheNextIsRefused) {
    EXPECT_EXIT(
        {
            for (int k = 0; k < 31; ++k) {
                FaultCleaner::Register([] {});
            }
            try {
                FaultCleaner::Register([] {});
            } catch (const std::runtime_error& e) {
                std::exit(std::string(e.what()) == "Unable to register more handler." ? 0 : 2);
            }
            std::exit(1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
