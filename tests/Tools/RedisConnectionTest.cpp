// The queue's Redis client against a real redis-server: addresses, binary
// values, error replies against lost connections, and a link that says
// each outage once and comes back.

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Common/RedisServer.h"
#include "queue/RedisLink.h"

namespace {

using Orvo::Queue::RedisAddress;
using Orvo::Queue::RedisConnection;
using Orvo::Queue::RedisError;
using Orvo::Queue::RedisLink;

TEST(RedisAddress, IsReadFromARedisUrl) {
    const RedisAddress full = RedisAddress::Parse("redis://10.0.0.5:6380/2");
    EXPECT_EQ("10.0.0.5", full.host);
    EXPECT_EQ(6380, full.port);
    EXPECT_EQ(2, full.db);
    const RedisAddress plain = RedisAddress::Parse("redis://cache.local");
    EXPECT_EQ("cache.local", plain.host);
    EXPECT_EQ(6379, plain.port);
    EXPECT_EQ(0, plain.db);
    EXPECT_EQ("redis://cache.local:6379/0", plain.Text());
    for (const char* bad : {"http://h:1", "redis://", "redis://:6379", "redis://h:0", "redis://h:70000",
                            "redis://h:12x", "redis://h:1/", "redis://h:1/-1"}) {
        EXPECT_THROW(RedisAddress::Parse(bad), std::invalid_argument) << bad;
    }
}

TEST(RedisConnection, CarriesBytesAndTellsRefusalsFromLostConnections) {
    OrvoTest::RedisServer redis;
    RedisConnection connection(RedisAddress::Parse(redis.Url() + "/3"), 5000);
    const std::string bytes("a\0b\r\n\xff", 6);
    connection.Command({"SET", "key", bytes});
    EXPECT_EQ(bytes, connection.Command({"GET", "key"}).text);
    EXPECT_TRUE(connection.Command({"GET", "missing"}).Nil());
    EXPECT_EQ(0, redis.Command({"EXISTS", "key"}).integer) << "the URL's database was selected";
    try {
        connection.Command({"XADD", "key", "*", "f", "v"});
        ADD_FAILURE() << "a command on a key of another type";
    } catch (const RedisError& e) {
        EXPECT_FALSE(e.Lost());
        EXPECT_EQ(0u, std::string(e.what()).find("WRONGTYPE")) << e.what();
    }
    // A server busy with a script refuses every command for a while: that
    // is to be waited out and tried again, like a lost connection.
    redis.Command({"CONFIG", "SET", "busy-reply-threshold", "10"});
    std::thread script([&] {
        RedisConnection busy(RedisAddress::Parse(redis.Url()), 5000);
        EXPECT_THROW(busy.Command({"EVAL", "while true do end", "0"}), RedisError);
    });
    std::string refusal;
    for (int k = 0; k < 200 && refusal.empty(); ++k) {
        try {
            connection.Command({"PING"});
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } catch (const RedisError& e) {
            refusal = e.what();
            EXPECT_TRUE(e.Lost()) << refusal;
        }
    }
    EXPECT_EQ(0u, refusal.find("BUSY ")) << refusal;
    RedisConnection(RedisAddress::Parse(redis.Url()), 5000).Command({"SCRIPT", "KILL"});
    script.join();
    redis.Kill();
    try {
        connection.Command({"PING"});
        ADD_FAILURE() << "a command to a server that is gone";
    } catch (const RedisError& e) {
        EXPECT_TRUE(e.Lost()) << e.what();
    }
    EXPECT_THROW(RedisConnection(RedisAddress::Parse(redis.Url()), 1000), RedisError);
}

TEST(RedisLink, SaysEachOutageOnceAndComesBack) {
    OrvoTest::RedisServer redis;
    std::vector<std::pair<bool, std::string>> heard;
    RedisLink link(RedisAddress::Parse(redis.Url()),
                   [&](bool reachable, const std::string& why) { heard.emplace_back(reachable, why); });
    EXPECT_EQ("PONG", link.Get().Command({"PING"}).text);
    redis.Kill();
    int failures = 0;
    const auto start = std::chrono::steady_clock::now();
    for (; failures < 3; ++failures) {
        try {
            link.Get().Command({"PING"});
            break;
        } catch (const RedisError& e) {
            link.Fail(e, [] { return false; });
        }
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(3, failures);
    EXPECT_GE(waited, std::chrono::milliseconds(100 + 200 + 400)) << "the backoff doubles";
    ASSERT_EQ(1u, heard.size()) << "one outage, said once";
    EXPECT_FALSE(heard[0].first);
    EXPECT_FALSE(heard[0].second.empty());
    redis.Start();
    int connects = 0;
    link.Get([&](RedisConnection&) { ++connects; });
    EXPECT_EQ(1, connects);
    ASSERT_EQ(2u, heard.size());
    EXPECT_TRUE(heard[1].first);
    EXPECT_EQ("PONG", link.Get([&](RedisConnection&) { ++connects; }).Command({"PING"}).text);
    EXPECT_EQ(1, connects) << "a connection is made once";
}

} // namespace
