// orvo-serve taking jobs from a Redis stream: real instances, real workers
// and Debian's redis-server on loopback. Instances standing for machines
// share one queue; one is killed, Redis is restarted, a page kills its
// worker every time: every job still ends with one result, or in the dead
// stream.

#include <map>
#include <sstream>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <QImage>
#include <boost/algorithm/string/predicate.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include "Common/RedisServer.h"
#include "OrvoServeFixture.h"
#include "ServeInstances.h"
#include "queue/JobStreams.h"

namespace {

using namespace OrvoServeTest;
using Orvo::Queue::RedisReply;
using Orvo::Queue::StreamEntry;

// Claims of idle jobs come every 2 s and take jobs idle for 5 s plus 6 s.
const char Divisor[] = "ORVO_TEST_TIME_DIVISOR=5";

class JobQueue : public ::testing::Test {
protected:
    JobQueue() : site([this](const TestHttpServer::Request& request) { return Page(request); }) {}

    // Starts an instance with one worker on the queue "orvo", HTTP off
    // unless listen; returns its index.
    std::size_t StartInstance(const std::vector<std::string>& arguments = {}, bool listen = false) {
        std::vector<std::string> argv{"--listen", listen ? "127.0.0.1:0" : "none", "--queue", redis.Url(),
                                      "--workers", "1", "--max-timeout", "5"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return instances.Start(argv, {Divisor});
    }

    std::string Log(std::size_t index) const { return instances.Log(index); }
    pid_t Pid(std::size_t index) const { return instances.Pid(index); }
    int Stop(std::size_t index) { return instances.Stop(index); }

    void AddJob(const std::string& id, const std::string& endpoint, const json& args, const std::string& reply = "") {
        AddJob(id, endpoint, args.dump(), reply);
    }

    // A job whose args are the text given, JSON or not.
    void AddJob(const std::string& id, const std::string& endpoint, const std::string& args,
                const std::string& reply = "") {
        std::vector<std::string> command{"XADD", "orvo:jobs", "*", "id", id, "endpoint", endpoint, "args", args};
        if (!reply.empty()) {
            command.insert(command.end(), {"reply", reply});
        }
        redis.Command(command);
    }

    std::string PageUrl(const std::string& target) const { return site.Url(target); }

    std::vector<StreamEntry> Entries(const std::string& stream) {
        return StreamEntry::List(redis.Command({"XRANGE", stream, "-", "+"}));
    }

    // The results so far, by job id.
    std::map<std::string, std::vector<StreamEntry>> Results(const std::string& stream = "orvo:results") {
        std::map<std::string, std::vector<StreamEntry>> byId;
        for (const StreamEntry& entry : Entries(stream)) {
            byId[entry.Field("id")].push_back(entry);
        }
        return byId;
    }

    bool AwaitResults(std::size_t ids, int timeoutMs = 120000) {
        return WaitFor([&] { return Results().size() >= ids; }, timeoutMs);
    }

    long long Pending() { return redis.Command({"XPENDING", "orvo:jobs", "orvo"}).elements.at(0).integer; }

    // The site's pages, and /deadly, which kills the first instance's
    // workers when asked for.
    TestHttpServer::Response Page(const TestHttpServer::Request& request) {
        if (request.target == "/deadly") {
            for (const pid_t worker : Children(Pid(0))) {
                ::kill(worker, SIGKILL);
            }
            return Html("<html><body>too late</body></html>");
        }
        return Site(request);
    }

    OrvoTest::RedisServer redis;
    TestHttpServer site;
    ServeInstances instances;
};

// Each job's result is the answer the same request gets over HTTP, with
// its id, attempts, consumer and time; the reply stream is the job's own
// when it names one; results too large become 413 errors.
TEST_F(JobQueue, AJobIsAnsweredAsTheSameHttpRequest) {
    const std::size_t index = StartInstance({"--max-result-bytes", "2000"}, true);
    AddJob("html", "render.html", {{"url", PageUrl("/page1")}});
    AddJob("json", "render.json", {{"url", PageUrl("/page2")}, {"html", 1}}, "mine");
    AddJob("bad", "render.html", {{"url", "ftp://example.com/"}});
    AddJob("ping", "_ping", json::object());
    AddJob("png", "render.png", {{"url", PageUrl("/tall")}});
    ASSERT_TRUE(AwaitResults(4)) << Log(index);
    ASSERT_TRUE(WaitFor([&] { return Results("mine").size() == 1; })) << Log(index);
    std::map<std::string, std::vector<StreamEntry>> results = Results();
    ASSERT_EQ(1u, results["html"].size());
    HttpClient http(instances.Port(index));
    const HttpClient::Response page = http.Get("/render.html?url=" + HttpClient::Encode(PageUrl("/page1")));
    const StreamEntry& html = results["html"][0];
    EXPECT_EQ("200", html.Field("status"));
    EXPECT_EQ(page.body, html.Field("body"));
    EXPECT_EQ(page.headers.at("content-type"), html.Field("content_type"));
    EXPECT_EQ("1", html.Field("attempts"));
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(std::string(host) + ":" + std::to_string(Pid(index)), html.Field("consumer"));
    EXPECT_LE(0, std::stol(html.Field("ms")));
    EXPECT_EQ(0u, html.fields.count("error"));

    const StreamEntry described = Results("mine")["json"].at(0);
    EXPECT_NE(std::string::npos,
              json::parse(described.Field("body")).at("html").get<std::string>().find("text of /page2"));
    const json bad = json::parse(results["bad"].at(0).Field("error"));
    EXPECT_EQ("400", results["bad"][0].Field("status"));
    EXPECT_EQ("BadOption", bad.at("type"));
    EXPECT_EQ("url", bad.at("info").at("argument"));
    EXPECT_EQ("404", results["ping"].at(0).Field("status")) << "only render endpoints take jobs";
    const StreamEntry& png = results["png"].at(0);
    EXPECT_EQ("413", png.Field("status"));
    const json large = json::parse(png.Field("error"));
    EXPECT_EQ("ResultTooLarge", large.at("type"));
    EXPECT_EQ(2000, large.at("info").at("limit"));
    EXPECT_LT(2000, large.at("info").at("size"));
    EXPECT_TRUE(WaitFor([&] { return Pending() == 0; })) << "every job acknowledged";
    EXPECT_EQ(0, redis.Command({"XLEN", "orvo:jobs"}).integer) << "and deleted";
    const std::string metrics = http.Get("/metrics").body;
    EXPECT_NE(std::string::npos, metrics.find("orvo_serve_queue_reachable 1\n")) << metrics;
    EXPECT_NE(std::string::npos, metrics.find("orvo_serve_queue_jobs_total{outcome=\"answered\"} 5\n")) << metrics;
    EXPECT_NE(std::string::npos, Log(index).find(" queue render.html \"" + PageUrl("/page1") + "\" 200 "));
    EXPECT_EQ(0, Stop(index));
}

// Jobs made to hurt the instance that takes them are answered with their
// errors, once each, and the instance goes on: one whose reply key takes
// no result ends in the dead stream, once.
TEST_F(JobQueue, HostileJobsAreAnsweredAndEndNoInstance) {
    const std::size_t index = StartInstance();
    const std::string url = json(PageUrl("/page1")).dump();
    const std::string deep = std::string(500000, '[') + std::string(500000, ']');
    AddJob("deep", "render.html", "{\"url\": " + url + ", \"a\": " + deep + "}");
    AddJob("large", "render.html", "{\"url\": " + url + ", \"js_source\": \"" + std::string(2 << 20, ' ') + "\"}");
    redis.Command({"SET", "not-a-stream", "x"});
    AddJob("wrongtype", "render.html", {{"url", PageUrl("/page2")}}, "not-a-stream");
    AddJob("fine", "render.html", {{"url", PageUrl("/page1")}});
    ASSERT_TRUE(AwaitResults(3)) << Log(index);
    ASSERT_TRUE(WaitFor([&] { return Entries("orvo:dead").size() == 1; })) << Log(index);
    std::map<std::string, std::vector<StreamEntry>> results = Results();
    const std::vector<std::tuple<std::string, std::string, std::string>> expected = {
        {"deep", "400", "BadOption"}, {"large", "413", "RequestTooLarge"}};
    for (const auto& job : expected) {
        ASSERT_EQ(1u, results[std::get<0>(job)].size()) << std::get<0>(job);
        const StreamEntry& entry = results[std::get<0>(job)][0];
        EXPECT_EQ(std::get<1>(job), entry.Field("status")) << std::get<0>(job);
        EXPECT_EQ(std::get<2>(job), json::parse(entry.Field("error")).at("type")) << std::get<0>(job);
    }
    EXPECT_EQ("200", results["fine"].at(0).Field("status"));
    const StreamEntry dead = Entries("orvo:dead").at(0);
    EXPECT_EQ("wrongtype", dead.Field("id")) << "a reply key that takes no result ends its job once";
    EXPECT_EQ("ResultNotWritten", json::parse(dead.Field("error")).at("type"));
    // A job is acknowledged after its result and dead entry are written.
    EXPECT_TRUE(WaitFor([&] { return Pending() == 0; })) << "every job acknowledged";
    EXPECT_EQ(0, Stop(index));
}

// An instance holds no more jobs than its pool has room for (workers times
// in-flight); the rest wait in the stream for any instance. SIGTERM
// finishes and acknowledges what it holds, and leaves the rest.
TEST_F(JobQueue, AnInstanceTakesOnlyWhatItHasRoomForAndFinishesItAtSigterm) {
    const std::size_t first = StartInstance({"--in-flight", "2"});
    for (int k = 0; k < 5; ++k) {
        AddJob("slow" + std::to_string(k), "render.html", {{"url", PageUrl("/slow" + std::to_string(k))}});
    }
    ASSERT_TRUE(WaitFor([&] { return Pending() == 2; })) << Log(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(2, Pending());
    EXPECT_EQ(0, Stop(first));
    EXPECT_EQ(2u, Results().size()) << Log(first);
    EXPECT_EQ(0, Pending());
    EXPECT_EQ(3, redis.Command({"XLEN", "orvo:jobs"}).integer) << "left for any instance";
    for (const auto& result : Results()) {
        EXPECT_EQ("200", result.second.at(0).Field("status")) << result.second.at(0).Field("body");
    }
    const std::size_t second = StartInstance({"--in-flight", "8"});
    ASSERT_TRUE(AwaitResults(5)) << Log(second);
    EXPECT_EQ(0, Stop(second));
}

// Three instances share 300 jobs; one is killed outright mid-run. Its
// workers end with it, the jobs it held are taken over once idle, and
// every job has a result: at most the killed instance's in-flight jobs
// twice, none in the dead stream.
TEST_F(JobQueue, ThreeInstancesShareTheJobsAndOneIsKilled) {
    for (int k = 0; k < 3; ++k) {
        StartInstance({"--in-flight", "4"});
    }
    for (int k = 0; k < 300; ++k) {
        AddJob("job" + std::to_string(k), "render.html", {{"url", PageUrl("/paced" + std::to_string(k))}});
    }
    ASSERT_TRUE(AwaitResults(60));
    ASSERT_EQ(1u, Children(Pid(0)).size());
    instances.Kill(0);
    ASSERT_TRUE(AwaitResults(300)) << Results().size();
    std::size_t entries = 0;
    int takenOver = 0;
    for (const auto& result : Results()) {
        entries += result.second.size();
        takenOver += result.second.back().Field("attempts") == "2" ? 1 : 0;
        EXPECT_EQ("200", result.second.at(0).Field("status")) << result.first;
        EXPECT_NE(std::string::npos, result.second[0].Field("body").find("paced /paced" + result.first.substr(3)));
    }
    EXPECT_LE(entries, 300u + 4u) << "a job twice only when the killed instance held it";
    EXPECT_LT(0, takenOver) << "the killed instance's jobs, delivered again";
    EXPECT_TRUE(Entries("orvo:dead").empty());
    EXPECT_TRUE(WaitFor([&] { return Pending() == 0; }));
    EXPECT_EQ(0, Stop(1));
    EXPECT_EQ(0, Stop(2));
}

// Redis killed and started again mid-run (its append-only file written at
// every command): the instance says so, waits, goes on, and no job is lost.
TEST_F(JobQueue, NoJobIsLostWhenRedisRestarts) {
    const std::size_t index = StartInstance({"--in-flight", "4"}, true);
    for (int k = 0; k < 100; ++k) {
        AddJob("job" + std::to_string(k), "render.html", {{"url", PageUrl("/paced" + std::to_string(k))}});
    }
    ASSERT_TRUE(AwaitResults(20));
    redis.Kill();
    ASSERT_TRUE(WaitFor([&] { return Log(index).find(" unreachable (") != std::string::npos; })) << Log(index);
    HttpClient http(instances.Port(index));
    EXPECT_NE(std::string::npos, http.Get("/metrics").body.find("orvo_serve_queue_reachable 0\n"));
    EXPECT_EQ(200, http.Get("/render.html?url=" + HttpClient::Encode(PageUrl("/page1"))).status)
        << "HTTP is served meanwhile";
    redis.Start();
    ASSERT_TRUE(AwaitResults(100)) << Log(index);
    EXPECT_NE(std::string::npos, Log(index).find(" reachable again ("));
    for (const auto& result : Results()) {
        EXPECT_EQ("200", result.second.at(0).Field("status")) << result.first;
    }
    EXPECT_TRUE(WaitFor([&] { return Pending() == 0; }));
    EXPECT_NE(std::string::npos, http.Get("/metrics").body.find("orvo_serve_queue_reachable 1\n"));
    EXPECT_EQ(0, Stop(index));
}

// A page that kills its worker every time: the pool sends it once more to
// a fresh worker, the instance claims it again twice, and the third
// delivery's failure puts it in the dead stream with its error and a
// result saying so. Other jobs are answered.
TEST_F(JobQueue, AJobThatAlwaysKillsItsWorkerEndsInTheDeadStream) {
    const std::size_t index = StartInstance({"--in-flight", "1"});
    AddJob("deadly", "render.html", {{"url", PageUrl("/deadly")}});
    AddJob("fine", "render.html", {{"url", PageUrl("/page3")}});
    ASSERT_TRUE(AwaitResults(2)) << Log(index);
    std::map<std::string, std::vector<StreamEntry>> results = Results();
    EXPECT_EQ("200", results["fine"].at(0).Field("status"));
    const StreamEntry& deadly = results["deadly"].at(0);
    EXPECT_EQ("503", deadly.Field("status"));
    EXPECT_EQ("3", deadly.Field("attempts"));
    EXPECT_EQ("WorkerUnavailable", json::parse(deadly.Field("error")).at("type"));
    const std::vector<StreamEntry> dead = Entries("orvo:dead");
    ASSERT_EQ(1u, dead.size());
    EXPECT_EQ("deadly", dead[0].Field("id"));
    EXPECT_EQ("render.html", dead[0].Field("endpoint"));
    EXPECT_EQ("3", dead[0].Field("attempts"));
    EXPECT_EQ("WorkerUnavailable", json::parse(dead[0].Field("error")).at("type"));
    EXPECT_FALSE(dead[0].Field("entry").empty());
    int sent = 0;
    for (const auto& request : site.Received()) {
        sent += request.target == "/deadly" ? 1 : 0;
    }
    EXPECT_EQ(6, sent) << "three deliveries, each sent to a fresh worker once more";
    EXPECT_TRUE(WaitFor([&] { return Pending() == 0; }));
    EXPECT_EQ(0, Stop(index));
}

// orvo-render --queue adds its URLs as jobs and writes what the fleet
// answers as a local run writes what its workers answer.
TEST_F(JobQueue, OrvoRenderSendsItsUrlsToTheFleet) {
    StartInstance();
    StartInstance();
    OrvoTest::TemporaryDirectory out;
    std::string output;
    const int status = OrvoTest::RunProgram({ORVO_RENDER_BINARY, "--queue", redis.Url(), "--out", out.path, "--quiet",
                                             PageUrl("/page1"), PageUrl("/tall"), PageUrl("/missing")},
                                            out.path, output);
    EXPECT_EQ(0, status) << output;
    EXPECT_NE(std::string::npos, out.Read("0001.html").find("text of /page1")) << out.Read("results.jsonl");
    const QImage tall(QString::fromStdString(out.path + "/0002.png"));
    EXPECT_EQ(3000, tall.height()) << "the whole page";
    EXPECT_EQ(qRgb(255, 0, 0), tall.pixel(10, 10));
    EXPECT_EQ(qRgb(0, 0, 255), tall.pixel(10, 2500));
    std::vector<json> lines;
    std::istringstream results(out.Read("results.jsonl"));
    for (std::string line; std::getline(results, line);) {
        lines.push_back(json::parse(line));
    }
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("rendered", lines[0].at("outcome"));
    EXPECT_EQ(PageUrl("/page1"), lines[0].at("pageUrl"));
    EXPECT_EQ("0001.html", lines[0].at("body"));
    EXPECT_EQ("0002.png", lines[1].at("snapshot"));
    EXPECT_EQ(3000, lines[1].at("height"));
    EXPECT_EQ("navigation-error", lines[2].at("outcome"));
    EXPECT_EQ(404, lines[2].at("status"));
    const std::set<std::string> instancePids{std::to_string(Pid(0)), std::to_string(Pid(1))};
    for (const json& line : lines) {
        EXPECT_EQ(1, line.at("attempts"));
        const std::string consumer = line.at("consumer");
        EXPECT_EQ(1u, instancePids.count(consumer.substr(consumer.rfind(':') + 1))) << line;
    }
    EXPECT_EQ(0, redis.Command({"XLEN", "orvo:jobs"}).integer);
    EXPECT_TRUE(redis.Command({"KEYS", "orvo:reply:*"}).elements.empty()) << "the run's reply stream is deleted";
}

} // namespace
