// orvo-serve against requests made to hurt it: each is refused with its
// own error, and the service, its workers and its other clients carry on.

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <QByteArray>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem.hpp>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Client/Client.h"
#include "Common/Occurrences.h"
#include "OrvoServeFixture.h"

namespace {

using namespace OrvoServeTest;

// Arrays nested depth deep around a number.
std::string Nested(std::size_t depth) {
    return std::string(depth, '[') + "1" + std::string(depth, ']');
}

// A JSON object's text with url and the raw JSON text value under name.
std::string WithRaw(const std::string& url, const std::string& name, const std::string& value) {
    return "{\"url\": " + json(url).dump() + ", \"" + name + "\": " + value + "}";
}

// The sockets a process holds open, as "socket:[inode]".
std::set<std::string> Sockets(pid_t pid) {
    std::set<std::string> sockets;
    boost::system::error_code error;
    for (const auto& entry : boost::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const std::string target = boost::filesystem::read_symlink(entry.path(), error).string();
        if (target.rfind("socket:", 0) == 0) {
            sockets.insert(target);
        }
    }
    return sockets;
}

struct Hostile {
    std::string what;
    std::string method;
    std::string target;
    std::string body;
    std::string contentType;
    int status;
    std::string type;
    // The argument a 400 names; empty for other answers.
    std::string argument;
};

TEST_F(OrvoServe, HostileRequestsAreRefusedAndTheServiceGoesOn) {
    Start({"--workers", "1"});
    // The service starts its workers while it begins to listen.
    ASSERT_TRUE(WaitFor([&] { return Workers().size() == 1; }));
    const std::vector<pid_t> workers = Workers();
    const std::string url = server.Url("/page");
    const std::string form = "url=" + HttpClient::Encode(url) + "&save_args=x&x=%FF";
    const std::vector<Hostile> cases = {
        {"a saved value that is not UTF-8", "GET", Target("render.html", "/page", "&save_args=x&x=%FF"), "", "", 400,
         "BadOption", "x"},
        {"the same as a form", "POST", "/render.html", form, "application/x-www-form-urlencoded", 400, "BadOption",
         "x"},
        {"arrays 500,000 deep", "POST", "/render.html", WithRaw(url, "headers", Nested(500000)), "application/json",
         400, "BadOption", "body"},
        {"script arguments 60,000 deep", "POST", "/execute",
         "{\"lua_source\": \"function main(splash, args) return args.a end\", \"a\": " + Nested(60000) + "}",
         "application/json", 400, "BadOption", "body"},
        {"objects one deeper than allowed", "POST", "/render.html",
         WithRaw(url, "a", std::string(100, '[') + "{}" + std::string(100, ']')), "application/json", 400,
         "BadOption", "body"},
        {"a URL larger than a worker takes", "POST", "/render.html",
         json{{"url", url + "?" + std::string(300000, 'a')}}.dump(), "application/json", 413, "RequestTooLarge", ""},
        {"a script larger than a worker takes", "POST", "/render.html",
         json{{"url", url}, {"js_source", std::string(300000, ' ')}}.dump(), "application/json", 413,
         "RequestTooLarge", ""},
        {"response bodies of a page on a host not allowed", "GET",
         Target("render.har", "/page", "&response_body=1&allowed_domains=example.org"), "", "", 502, "RenderError",
         ""},
        {"response bodies of a page of a forbidden type", "GET",
         Target("render.json", "/page", "&har=1&response_body=1&forbidden_content_types=text/html"), "", "", 502,
         "RenderError", ""},
    };
    for (const Hostile& hostile : cases) {
        const HttpClient::Response response = client->Send(hostile.method, hostile.target, hostile.body,
                                                           hostile.contentType);
        ExpectError(response, hostile.status, hostile.type);
        if (!hostile.argument.empty()) {
            EXPECT_EQ(hostile.argument, json::parse(response.body).at("info").at("argument")) << hostile.what;
        }
    }
    const std::string deepEnough = "{\"lua_source\": \"function main(splash, args) return args.a end\", \"a\": "
                                   + Nested(99) + "}";
    const std::string filler(Orvo::Browser::Client::Client::MaxRequestBytes - 2000, ' ');
    const json largest = {{"url", url}, {"js_source", "/*" + filler + "*/"}};
    EXPECT_EQ(200, client->Post("/render.html", largest.dump(), "application/json").status)
        << "a request as large as a worker takes is served";
    const HttpClient::Response allowed = client->Post("/execute", deepEnough, "application/json");
    EXPECT_EQ(200, allowed.status) << allowed.body;
    EXPECT_EQ(json::parse(Nested(99)), json::parse(allowed.body));
    EXPECT_EQ(200, client->Get(Target("render.html", "/page")).status);
    EXPECT_EQ(workers, Workers()) << "no worker was lost";

    // A worker started while clients are connected holds none of the
    // service's sockets.
    ASSERT_EQ(1u, workers.size());
    ::kill(workers[0], SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return Workers().size() == 1 && Workers()[0] != workers[0]; }));
    EXPECT_EQ(200, client->Get(Target("render.html", "/page")).status);
    const std::set<std::string> service = Sockets(process->Pid());
    EXPECT_FALSE(service.empty());
    for (const std::string& socket : Sockets(Workers()[0])) {
        EXPECT_EQ(0u, service.count(socket)) << socket << " passed from the service to its worker";
    }
    EXPECT_EQ(0, Stop());
}

// Requests that each fit a worker's request segment but not all at once
// wait for room there: every one is answered.
TEST_F(OrvoServe, LargeRequestsAtOnceWaitForRoomInTheirWorker) {
    Start({"--workers", "1"});
    const std::string script = "/*" + std::string(200000, ' ') + "*/ document.title = 'large'";
    std::vector<std::thread> clients;
    std::vector<int> statuses(16, 0);
    for (std::size_t k = 0; k < statuses.size(); ++k) {
        clients.emplace_back([&, k] {
            HttpClient http(port);
            const json request = {{"url", server.Url("/page" + std::to_string(k))}, {"js_source", script}};
            statuses[k] = http.Post("/render.html", request.dump(), "application/json").status;
        });
    }
    for (std::thread& thread : clients) {
        thread.join();
    }
    EXPECT_EQ(std::vector<int>(statuses.size(), 200), statuses);
    EXPECT_EQ(0, Stop());
}

// Connections, each opened and left idle.
std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> Connect(boost::asio::io_context& io, unsigned short port,
                                                                   std::size_t count) {
    std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> sockets;
    for (std::size_t k = 0; k < count; ++k) {
        sockets.push_back(std::make_unique<boost::asio::ip::tcp::socket>(io));
        sockets.back()->connect({boost::asio::ip::address_v4::loopback(), port});
    }
    return sockets;
}

// The CPU time a process has used, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    double ticks = 0;
    for (int k = 1; k <= 15 && stat >> field; ++k) {
        ticks += k >= 14 ? std::stod(field) : 0;
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Past --max-connections a connection still gets the service's health and
// metrics, and renders a 503 it can retry; a connection that closes makes
// room again.
TEST_F(OrvoServe, ConnectionsPastTheLimitAreAnsweredHealthButNoRenders) {
    Start({"--workers", "1", "--max-connections", "3"});
    boost::asio::io_context io;
    auto idle = Connect(io, port, 2);
    ASSERT_TRUE(WaitFor([&] { return MetricsShow("orvo_serve_requests_total"); }));
    HttpClient spare(port);
    const HttpClient::Response refused = spare.Get(Target("render.html", "/page"));
    ExpectError(refused, 503, "TooManyConnections");
    EXPECT_EQ("1", refused.headers.at("retry-after"));
    EXPECT_EQ(200, spare.Get("/_ping").status);
    EXPECT_EQ(200, client->Get(Target("render.html", "/page")).status) << "the connections within the limit serve";
    idle.pop_back();
    EXPECT_TRUE(WaitFor([&] { return spare.Get(Target("render.html", "/page")).status == 200; }));
    EXPECT_EQ(0, Stop());
}

// Out of descriptors, the service pauses accepting instead of spinning,
// and serves as soon as descriptors are free again.
TEST_F(OrvoServe, OutOfDescriptorsTheServiceWaitsAndRecovers) {
    launcher = {"/usr/bin/prlimit", "--nofile=128:128"};
    Start({"--workers", "1"});
    boost::asio::io_context io;
    auto idle = Connect(io, port, 150);
    const double before = CpuSeconds(process->Pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(CpuSeconds(process->Pid()) - before, 1.0) << "accepting spun while no descriptor was free";
    idle.clear();
    EXPECT_TRUE(WaitFor([&] { return client->Get(Target("render.html", "/page")).status == 200; }));
    EXPECT_EQ(200, client->Get("/_ping").status);
    EXPECT_EQ(0, Stop());
}

// With --auth-file only its users get in, by HTTP basic authentication;
// --open-health leaves the service's health and metrics open to all.
TEST_F(OrvoServe, OnlyTheUsersOfTheAuthFileGetIn) {
    directory.Write("users", "# who may render\ncrawler:s3cret\n\nother:pass:with:colons\n");
    Start({"--workers", "1", "--auth-file", directory.path + "/users", "--open-health"});
    const std::string page = Target("render.html", "/page");
    const auto basic = [](const std::string& credentials) {
        return "Basic " + QByteArray::fromStdString(credentials).toBase64().toStdString();
    };
    const std::vector<std::tuple<std::string, std::string, int>> cases = {
        {page, "", 401},
        {page, basic("crawler:wrong"), 401},
        {page, basic("crawler:s3cre"), 401},
        {page, basic("nobody:s3cret"), 401},
        {page, "Bearer " + basic("crawler:s3cret").substr(6), 401},
        {page, basic("crawler:s3cret"), 200},
        {page, basic("other:pass:with:colons"), 200},
        {"/render.gif", "", 401},
        {"/_ping", "", 200},
        {"/metrics", "", 200},
    };
    for (const auto& request : cases) {
        const std::string header = std::get<1>(request);
        const HttpClient::Response response = client->Send("GET", std::get<0>(request), "", "",
                                                           header.empty() ? HttpClient::Headers()
                                                                          : HttpClient::Headers{{"Authorization", header}});
        EXPECT_EQ(std::get<2>(request), response.status) << std::get<0>(request) << " " << header;
        if (response.status == 401) {
            ExpectError(response, 401, "Unauthorized");
            EXPECT_EQ("Basic realm=\"orvo-serve\", charset=\"UTF-8\"", response.headers.at("www-authenticate"));
        }
    }
    EXPECT_EQ(2u, server.Received().size()) << "refused requests reach no page";
    EXPECT_EQ(0, Stop());
}

// With --denied-networks no page reaches those networks, on either
// engine: not as its own address, not through a redirection, not for a
// resource, not by a script's fetch. Pages elsewhere render as before.
TEST_F(OrvoServe, DeniedNetworksAreReachedByNoPageNorItsRequests) {
    TestHttpServer other([](const TestHttpServer::Request& request) {
        const std::string denied = "http://127.0.0.2/page";
        if (request.target == "/to-denied") {
            TestHttpServer::Response moved = Html("", 302);
            moved.headers.emplace_back("Location", denied);
            return moved;
        }
        return Html("<html><body><img src=\"" + denied + "\">here</body></html>");
    });
    Start({"--workers", "1", "--chromium-workers", "1", "--denied-networks", "127.0.0.2/32, 10.0.0.0/8"});
    std::size_t refusals = 0;
    for (const std::string engine : {"webkit", "chromium"}) {
        SCOPED_TRACE(engine);
        // The service's largest timeout: a loaded machine may take longer
        // than the default 30 s to start a sanitized browser for the first.
        const std::string on = "&engine=" + engine + "&timeout=90";
        for (const std::string& url : {std::string("http://127.0.0.2/page"), other.Url("/to-denied")}) {
            const HttpClient::Response response = client->Get("/render.html?url=" + HttpClient::Encode(url) + on);
            ExpectError(response, 502, "RenderError");
            EXPECT_EQ("the address 127.0.0.2 of 127.0.0.2 is in a denied network",
                      json::parse(response.body).at("info").at("text"))
                << url;
        }
        const HttpClient::Response page =
            client->Get("/render.html?url=" + HttpClient::Encode(other.Url("/page")) + on);
        EXPECT_EQ(200, page.status);
        const std::string fetch = "function main(splash) return {ok = splash:http_get('http://10.1.2.3/').ok} end";
        EXPECT_EQ(json({{"ok", false}}),
                  json::parse(client->Get("/execute?lua_source=" + HttpClient::Encode(fetch) + on).body));
        // The page itself, the redirection's target and the image (which
        // the browser may ask for twice), and the fetch.
        refusals += 3;
        EXPECT_TRUE(WaitFor([&] {
            return OrvoTest::Occurrences(Log(), "RefuseDeniedNetwork => not sent: http://127.0.0.2/page (127.0.0.2)")
                       >= refusals
                   && OrvoTest::Occurrences(Log(), "RefuseDeniedNetwork => not sent: http://10.1.2.3/ (10.1.2.3)")
                          == refusals / 3;
        })) << Log();
    }
    EXPECT_EQ(0, Stop());
}

// Any local user can fill the shared-memory file system. The service then
// refuses requests with the reason, instead of dying on its next write
// there, and serves again once there is room. It runs in a mount namespace
// of its own with a small file system of its own on /dev/shm, filled
// through the service's view of it.
TEST_F(OrvoServe, AFullSharedMemoryIsARefusalNotADeath) {
    std::string output;
    if (OrvoTest::RunProgram({"/usr/bin/unshare", "--mount", "true"}, ".", output) != 0) {
        GTEST_SKIP() << "a mount namespace of its own needs root: " << output;
    }
    launcher = {"/usr/bin/unshare", "--mount", "/bin/sh", "-c", "mount -t tmpfs -o size=64m tmpfs /dev/shm && exec \"$@\"", "sh"};
    Start({"--workers", "1"});
    ASSERT_EQ(200, client->Get(Target("render.html", "/page")).status);
    const std::string filler = "/proc/" + std::to_string(process->Pid()) + "/root/dev/shm/orvo-test-filler";
    FILE* file = std::fopen(filler.c_str(), "w");
    ASSERT_NE(nullptr, file) << filler;
    const std::string block(1 << 20, 'x');
    while (std::fwrite(block.data(), 1, block.size(), file) == block.size() && std::fflush(file) == 0) {
    }
    std::fclose(file);
    const HttpClient::Response refused = client->Get(Target("render.html", "/page"));
    ExpectError(refused, 500, "InternalError");
    EXPECT_NE(std::string::npos, refused.body.find("shared memory is full")) << refused.body;
    EXPECT_EQ(200, client->Get("/_ping").status);
    ASSERT_EQ(0, std::remove(filler.c_str()));
    EXPECT_EQ(200, client->Get(Target("render.html", "/page")).status);
    EXPECT_EQ(0, Stop());
}

} // namespace
