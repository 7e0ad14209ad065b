// The sweep of shared objects left by processes that no longer exist, on a
// directory of its own standing in for /dev/shm.

#include <ctime>
#include <set>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Client/StaleObjects.h"
#include "Common/ChildProcess.h"
#include "Common/TemporaryDirectory.h"

namespace {

using Orvo::Browser::Client::StaleObjects;

TEST(StaleObjects, OwnersAreReadFromOurNamesOnly) {
    EXPECT_EQ(123, StaleObjects::OwnerOf("Orvo_Browser_123_Request"));
    EXPECT_EQ(123, StaleObjects::OwnerOf("Orvo_Browser_123_Request_Channel_Mutex"));
    EXPECT_EQ(123, StaleObjects::OwnerOf("sem.Orvo_Browser_123_Ready"));
    EXPECT_EQ(45, StaleObjects::OwnerOf("OrvoClient_45_0_7"));
    EXPECT_EQ(45, StaleObjects::OwnerOf("OrvoClient_45_0_7_Channel_Condition"));
    EXPECT_EQ(0, StaleObjects::OwnerOf("Orvo_Browser_123"));
    EXPECT_EQ(0, StaleObjects::OwnerOf("Orvo_Browser_x1_Request"));
    EXPECT_EQ(0, StaleObjects::OwnerOf("OrvoClientX_45_0_7"));
    EXPECT_EQ(0, StaleObjects::OwnerOf("sem.other_45_0"));
    EXPECT_EQ(0, StaleObjects::OwnerOf("Orvo_Browser_1234567890_Request")) << "no PID is that long";
}

TEST(StaleObjects, OnlyObjectsOfDeadProcessesAreRemoved) {
    OrvoTest::ChildProcess gone([] { return 0; });
    ASSERT_EQ(0, gone.Wait(10000));
    const std::string dead = std::to_string(gone.Pid());
    const std::string live = std::to_string(::getpid());
    OrvoTest::TemporaryDirectory shm;
    for (const std::string& name :
         {"Orvo_Browser_" + dead + "_Request", "Orvo_Browser_" + dead + "_Request_Channel_Mutex",
          "sem.Orvo_Browser_" + dead + "_Ready", "OrvoClient_" + dead + "_0_0", "Orvo_Browser_" + live + "_Request",
          "OrvoClient_" + live + "_0_0", std::string("unrelated_" + dead + "_x")}) {
        shm.Write(name, "x");
    }
    EXPECT_EQ(4u, StaleObjects::Sweep(shm.path));
    EXPECT_EQ((std::set<std::string>{"Orvo_Browser_" + live + "_Request", "OrvoClient_" + live + "_0_0",
                                     "unrelated_" + dead + "_x"}),
              shm.Names());
    EXPECT_EQ(0u, StaleObjects::Sweep(shm.path + "/missing")) << "an absent directory sweeps nothing";
}

} // namespace
