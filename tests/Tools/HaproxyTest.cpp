// The HTTP API behind HAProxy with the project's own examples/haproxy.cfg:
// three orvo-serve instances on loopback, one killed outright and another
// stopped with SIGTERM while 30 clients send 300 requests; every request is
// answered 200.

#include <atomic>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/algorithm/string/replace.hpp>
#include <gtest/gtest.h>

#include "Common/ChildProcess.h"
#include "Common/FreePort.h"
#include "Common/TemporaryDirectory.h"
#include "OrvoServeFixture.h"
#include "ServeInstances.h"

namespace {

using namespace OrvoServeTest;

const int Clients = 30;
const int RequestsEach = 10;

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(Haproxy, EveryRequestIsAnsweredWhileOneInstanceIsKilledAndAnotherStopped) {
    TestHttpServer site(&Site);
    OrvoTest::TemporaryDirectory directory;
    ServeInstances instances;
    // The example's ports, and maxconn for instances of one worker with
    // four requests in flight each.
    std::string config = ReadFile(ORVO_HAPROXY_EXAMPLE);
    ASSERT_NE(std::string::npos, config.find(" maxconn 16 "));
    boost::replace_all(config, " maxconn 16 ", " maxconn 4 ");
    const unsigned short front = OrvoTest::FreePort();
    boost::replace_all(config, "127.0.0.1:8050", "127.0.0.1:" + std::to_string(front));
    for (int k = 1; k <= 3; ++k) {
        const std::string address = "127.0.0.1:" + std::to_string(OrvoTest::FreePort());
        boost::replace_all(config, "127.0.0.1:805" + std::to_string(k), address);
        instances.Start({"--listen", address, "--workers", "1", "--in-flight", "4"});
    }
    directory.Write("haproxy.cfg", config);
    auto haproxy = OrvoTest::StartProgram({"/usr/sbin/haproxy", "-db", "-f", directory.path + "/haproxy.cfg"}, {},
                                          directory.path + "/haproxy.out");
    ASSERT_TRUE(WaitFor([&] {
        try {
            return HttpClient(front).Get("/_ping").status == 200;
        } catch (const std::exception&) {
            return false;
        }
    })) << directory.Read("haproxy.out");

    std::atomic<int> answered{0};
    std::vector<int> statuses(Clients * RequestsEach);
    std::vector<std::string> bodies(Clients * RequestsEach);
    std::vector<std::thread> clients;
    for (int c = 0; c < Clients; ++c) {
        clients.emplace_back([&, c] {
            std::unique_ptr<HttpClient> client(new HttpClient(front));
            for (int r = 0; r < RequestsEach; ++r) {
                const int k = c * RequestsEach + r;
                const std::string url = site.Url("/paced" + std::to_string(k));
                try {
                    const HttpClient::Response response = client->Get("/render.html?url=" + HttpClient::Encode(url));
                    const bool page = response.body.find("paced /paced" + std::to_string(k) + "<") != std::string::npos;
                    statuses[static_cast<std::size_t>(k)] = page ? response.status : -response.status;
                    if (!page) {
                        bodies[static_cast<std::size_t>(k)] = response.body;
                    }
                } catch (const std::exception&) {
                    statuses[static_cast<std::size_t>(k)] = -1;
                    client.reset(new HttpClient(front));
                }
                ++answered;
            }
        });
    }
    ASSERT_TRUE(WaitFor([&] { return answered >= 60; }, 120000));
    instances.Kill(0);
    ASSERT_TRUE(WaitFor([&] { return answered >= 120; }, 120000));
    EXPECT_EQ(0, instances.Stop(1)) << instances.Log(1);
    for (std::thread& client : clients) {
        client.join();
    }
    for (std::size_t k = 0; k < statuses.size(); ++k) {
        EXPECT_EQ(200, statuses[k]) << "request " << k << " (negative: an error, or not its page): " << bodies[k];
    }
    EXPECT_EQ(0, instances.Stop(2));
    if (HasFailure()) {
        std::cerr << "HAProxy said:\n" << directory.Read("haproxy.out");
    }
}

} // namespace
