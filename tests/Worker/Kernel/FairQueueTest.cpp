#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/NamedRequest.h"
#include "Kernel/FairQueue.h"

namespace {

using Orvo::Browser::FairQueue;

FairQueue::RequestPtr Named(const std::string& name) {
    return OrvoTest::NamedRequest(name);
}

std::vector<std::string> Names(const std::vector<FairQueue::RequestPtr>& requests) {
    std::vector<std::string> names;
    for (const FairQueue::RequestPtr& request : requests) {
        names.push_back(request->name);
    }
    return names;
}

TEST(FairQueue, AClientIsItsRequestNamesUpToTheLastUnderscore) {
    EXPECT_EQ("OrvoClient_12_0_", FairQueue::ClientOf("OrvoClient_12_0_345"));
    EXPECT_EQ("a_", FairQueue::ClientOf("a_"));
    EXPECT_EQ("plain", FairQueue::ClientOf("plain"));
}

// Clients take turns in the order they first had a request waiting; each
// client's requests keep their own order; a client whose queue ran empty
// joins at the end when it sends again.
TEST(FairQueue, ClientsTakeTurnsAndKeepTheirOwnOrder) {
    FairQueue queue;
    for (const char* name : {"A_1", "A_2", "A_3", "A_4", "B_1", "C_1", "C_2"}) {
        queue.Push(Named(name));
    }
    EXPECT_EQ(7u, queue.Size());
    std::vector<FairQueue::RequestPtr> taken;
    for (int k = 0; k < 4; ++k) {
        taken.push_back(queue.Pop());
    }
    queue.Push(Named("B_2"));
    EXPECT_EQ((std::vector<std::string>{"A_1", "B_1", "C_1", "A_2"}), Names(taken));
    EXPECT_EQ((std::vector<std::string>{"C_2", "A_3", "B_2", "A_4"}), Names(queue.TakeAll()));
    EXPECT_EQ(0u, queue.Size());
    EXPECT_FALSE(queue.Pop());
}

} // namespace
