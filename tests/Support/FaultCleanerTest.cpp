#include "Support/FaultCleaner.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <signal.h>

#include "Common/ChildProcess.h"

namespace {

using Orvo::Browser::FaultCleaner;

void Say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The terminate handler is process-wide and permanent, so every case runs
// in a child of its own.
TEST(FaultCleaner, TerminateRunsTheRegisteredFunctionsNewestFirstThenThePreviousHandler) {
    std::string output;
    const int status = OrvoTest::RunCaptured(
        [] {
            FaultCleaner::Register([] { Say("first\n"); });
            FaultCleaner::Register([] { Say("second\n"); });
            std::terminate();
            return 0;
        },
        output);
    EXPECT_EQ(-SIGABRT, status) << "the runtime's own handler still ends the process";
    EXPECT_EQ(0u, output.find("second\nfirst\nterminate called")) << output;
}

TEST(FaultCleaner, AnUncaughtExceptionOnAnotherThreadRunsTheCleanUp) {
    std::string output;
    const int status = OrvoTest::RunCaptured(
        [] {
            FaultCleaner::Register([] { Say("cleaned\n"); });
            std::thread([] { throw std::runtime_error("lost"); }).join();
            return 0;
        },
        output);
    EXPECT_EQ(-SIGABRT, status);
    EXPECT_EQ(0u, output.find("cleaned\n")) << output;
    EXPECT_NE(std::string::npos, output.find("lost")) << "the previous handler reports the exception";
}

TEST(FaultCleaner, ThirtyOneRegistrationsFitAndTheNextIsRefused) {
    std::string output;
    const int status = OrvoTest::RunCaptured(
        [] {
            for (int k = 0; k < 31; ++k) {
                FaultCleaner::Register([] {});
            }
            try {
                FaultCleaner::Register([] {});
            } catch (const std::runtime_error& e) {
                return std::string(e.what()) == "Unable to register more handler." ? 0 : 2;
            }
            return 1;
        },
        output);
    EXPECT_EQ(0, status) << output;
}

} // namespace
