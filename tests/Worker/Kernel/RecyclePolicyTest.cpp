// When a worker is due to make way: its limits, and the memory of a
// process tree (a browser and its renderers) that the Chromium worker
// counts.

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Kernel/RecyclePolicy.h"

namespace {

using Orvo::Browser::RecyclePolicy;

TEST(RecyclePolicy, ItIsDueAtEitherLimit) {
    const std::size_t mb = 1024 * 1024;
    EXPECT_EQ("", RecyclePolicy(0, 0).Due(1000000, 100000 * mb));
    EXPECT_EQ("", RecyclePolicy(3, 0).Due(2, 0));
    EXPECT_EQ("took 3 requests (limit 3)", RecyclePolicy(3, 0).Due(3, 0));
    EXPECT_EQ("", RecyclePolicy(0, 100).Due(10, 100 * mb));
    EXPECT_EQ("resident memory 101 MB (limit 100 MB)", RecyclePolicy(0, 100).Due(10, 101 * mb));
}

// A child that holds 64 MB counts towards its parent's tree.
TEST(RecyclePolicy, ATreesMemoryCountsEveryProcessUnderItsRoot) {
    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    const std::size_t held = 64u << 20;
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<char> memory(held);
        std::memset(memory.data(), 1, memory.size());
        const char done = 1;
        (void)::write(ready[1], &done, 1);
        ::pause();
        ::_exit(0);
    }
    char done = 0;
    ASSERT_EQ(1, ::read(ready[0], &done, 1));
    EXPECT_GE(RecyclePolicy::TreeResidentBytes(::getpid()), RecyclePolicy::ResidentBytes() + held);
    EXPECT_GE(RecyclePolicy::TreeResidentBytes(child), held);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(0u, RecyclePolicy::TreeResidentBytes(child)) << "no such process";
    ::close(ready[0]);
    ::close(ready[1]);
}

} // namespace
