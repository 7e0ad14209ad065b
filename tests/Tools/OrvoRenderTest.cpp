// orvo-render end to end: the command against a test HTTP server on
// 127.0.0.1, with the files and JSON lines it writes.

#include <algorithm>
#include <sstream>
#include <map>
#include <string>
#include <vector>

#include <chrono>
#include <fstream>
#include <thread>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <QColor>
#include <QImage>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Client/StaleObjects.h"
#include "Common/ChildProcess.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "Protocol/Option.h"
#include "render/CommandLine.h"
#include "render/QueueJob.h"

namespace {

using OrvoTest::TestHttpServer;

TestHttpServer::Response Site(const TestHttpServer::Request& request) {
    TestHttpServer::Response response;
    response.headers = {{"Content-Type", "text/html"}};
    if (request.target == "/hang") {
        response.delayMs = 60000;
    }
    if (request.target == "/loop") {
        response.body = "<html><body><script>while (true) {}</script></body></html>";
        return response;
    }
    if (request.target == "/missing") {
        response.status = 404;
        response.body = "gone";
        return response;
    }
    response.headers.push_back({"Last-Modified", "Tue, 15 Nov 1994 12:45:26 GMT"});
    response.body = "<html><body style=\"margin:0\"><div style=\"background:#0000ff;width:40px;height:30px\"></div>"
                    "<p>" + request.target + "</p></body></html>";
    return response;
}

// The process ids of a process's children, from all its threads.
std::vector<std::string> Children(pid_t pid) {
    std::vector<std::string> children;
    for (const auto& task : boost::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream file(task.path().string() + "/children");
        std::string child;
        while (file >> child) {
            children.push_back(child);
        }
    }
    return children;
}

class OrvoRender : public ::testing::Test {
protected:
    OrvoRender() : server(&Site) {}

    int Run(std::vector<std::string> args, std::string& output, std::vector<std::string> environment = {}) {
        args.insert(args.begin(), ORVO_RENDER_BINARY);
        environment.insert(environment.end(), {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="});
        return OrvoTest::RunProgram(args, directory.path, output, environment);
    }

    std::vector<std::string> Lines(const std::string& file) const {
        std::vector<std::string> lines;
        const std::string text = directory.Read(file);
        boost::algorithm::split(lines, text, [](char c) { return c == '\n'; });
        if (!lines.empty() && lines.back().empty()) {
            lines.pop_back();
        }
        return lines;
    }

    bool Has(const std::string& text, const std::string& part) const { return text.find(part) != std::string::npos; }

    // The names in /dev/shm that belong to these processes, one per line.
    static std::string SharedObjectsOf(const std::vector<long>& pids) {
        std::string names;
        for (const auto& entry : boost::filesystem::directory_iterator("/dev/shm")) {
            const std::string name = entry.path().filename().string();
            const long owner = Orvo::Browser::Client::StaleObjects::OwnerOf(name);
            if (std::find(pids.begin(), pids.end(), owner) != pids.end()) {
                names += name + "\n";
            }
        }
        return names;
    }

    static nlohmann::json Parse(const std::string& line) { return nlohmann::json::parse(line); }

    TestHttpServer server;
    OrvoTest::TemporaryDirectory directory;
};

TEST_F(OrvoRender, WritesFilesAndJsonLinesInInputOrder) {
    std::string output;
    ASSERT_EQ(0, Run({"--out", "out", "--keep", "200", server.Url("/a"), server.Url("/b")}, output)) << output;
    const std::vector<std::string> lines = Lines("out/results.jsonl");
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(boost::starts_with(lines[0], "{\"url\":\"" + server.Url("/a") + "\",\"name\":\"OrvoClient_"))
        << lines[0];
    EXPECT_TRUE(Has(lines[0], "\"detail\":\"11/15/1994 12:45:26\",\"outcome\":\"rendered\",\"status\":null,"
                              "\"lastModified\":\"11/15/1994 12:45:26\",\"body\":\"0001.html\","
                              "\"snapshot\":\"0001.png\",\"width\":"))
        << lines[0];
    EXPECT_TRUE(Has(lines[1], "\"body\":\"0002.html\",\"snapshot\":\"0002.png\"")) << lines[1];
    EXPECT_TRUE(Has(directory.Read("out/0001.html"), "<p>/a</p>"));
    EXPECT_TRUE(Has(directory.Read("out/0002.html"), "<p>/b</p>"));
    EXPECT_EQ("\x89PNG", directory.Read("out/0001.png").substr(0, 4));
    EXPECT_TRUE(Has(output, "2 pages: 2 rendered, 0 navigation errors, 0 without result")) << output;
    const nlohmann::json first = Parse(lines[0]);
    EXPECT_EQ(1, first.at("attempts"));
    EXPECT_EQ("webkit", first.at("engine"));
    const long pid = first.at("pid").get<long>();
    EXPECT_EQ(pid, Parse(lines[1]).at("pid").get<long>()) << "one worker served both";
    // The run waited for its worker to end: nothing of it remains.
    EXPECT_FALSE(boost::filesystem::exists("/proc/" + std::to_string(pid)));
    EXPECT_EQ("", SharedObjectsOf({pid}));
}

TEST_F(OrvoRender, ANotFoundPageAndAnUnreachablePortAreNavigationErrors) {
    std::string output;
    EXPECT_EQ(0, Run({"--out", "out", "--keep", "200", "--no-snapshot", server.Url("/missing"), "http://127.0.0.1:9/"},
                     output))
        << output;
    const std::vector<std::string> lines = Lines("out/results.jsonl");
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(Has(lines[0], "\"detail\":\"404\",\"outcome\":\"navigation-error\",\"status\":404,\"lastModified\":null,"
                              "\"body\":null,\"snapshot\":null,\"width\":0,\"height\":0,\"bodyBytes\":0"))
        << lines[0];
    EXPECT_TRUE(Has(lines[1], "\"outcome\":\"navigation-error\",\"status\":null")) << lines[1];
    EXPECT_FALSE(directory.Exists("out/0001.html"));
}

// With --engine chromium the workers started render with Chromium: the
// same files and lines, the page's own block in the picture.
TEST_F(OrvoRender, TheChromiumEngineWritesTheSameFiles) {
    std::string output;
    ASSERT_EQ(0, Run({"--out", "out", "--keep", "200", "--engine", "chromium", "--viewport", "640x480",
                      server.Url("/a"), server.Url("/image"), server.Url("/missing")},
                     output))
        << output;
    const std::vector<std::string> lines = Lines("out/results.jsonl");
    ASSERT_EQ(3u, lines.size());
    EXPECT_TRUE(Has(lines[0], "\"detail\":\"11/15/1994 12:45:26\",\"outcome\":\"rendered\"")) << lines[0];
    EXPECT_TRUE(Has(directory.Read("out/0001.html"), "<p>/a</p>"));
    const QImage image(QString::fromStdString(directory.path + "/out/0002.png"));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(640, image.width());
    EXPECT_EQ(qRgb(0, 0, 255), image.pixel(20, 15)) << "the blue block";
    EXPECT_EQ(qRgb(255, 255, 255), image.pixel(100, 15)) << "beside it";
    EXPECT_TRUE(Has(lines[2], "\"outcome\":\"navigation-error\",\"status\":404")) << lines[2];
    for (const std::string& line : lines) {
        EXPECT_EQ("chromium", Parse(line).at("engine")) << line;
    }
}

// The page's blue block, 40 x 30 px at the top left, on white: PNG keeps
// it exactly, JPEG nearly.
TEST_F(OrvoRender, PngAndJpegFilesShowTheSnapshot) {
    for (const std::string format : {"png", "jpeg"}) {
        std::string output;
        ASSERT_EQ(0, Run({"--out", format, "--keep", "200", "--image", format, server.Url("/image")}, output))
            << output;
        const QImage image(QString::fromStdString(directory.path + "/" + format + "/0001." + format));
        ASSERT_FALSE(image.isNull()) << format;
        EXPECT_EQ(800, image.width()) << format;
        const int tolerance = format == "png" ? 0 : 8;
        const QColor block = image.pixelColor(20, 15);
        const QColor beside = image.pixelColor(100, 15);
        EXPECT_LE(block.red(), tolerance) << format;
        EXPECT_GE(block.blue(), 255 - tolerance) << format;
        EXPECT_GE(beside.green(), 255 - tolerance) << format;
    }
}

// A local path is a file: URL, and the workers started for it load such
// URLs (workers load http and https only otherwise).
TEST_F(OrvoRender, ALocalFilePathIsRendered) {
    directory.Write("page.html", "<html><body><p>from a file</p></body></html>");
    std::string output;
    ASSERT_EQ(0, Run({"--out", "out", "--keep", "200", "--no-snapshot", directory.path + "/page.html"}, output))
        << output;
    EXPECT_TRUE(Has(directory.Read("out/results.jsonl"), "\"outcome\":\"rendered\"")) << output;
    EXPECT_TRUE(Has(directory.Read("out/0001.html"), "<p>from a file</p>"));
}

TEST_F(OrvoRender, RawKeepsTheFieldsByteForByte) {
    std::string output;
    ASSERT_EQ(0, Run({"--out", "out", "--keep", "200", "--raw", "--image", "bmp", server.Url("/raw")}, output))
        << output;
    EXPECT_EQ("11/15/1994 12:45:26", directory.Read("out/0001.detail"));
    EXPECT_EQ(directory.Read("out/0001.html"), directory.Read("out/0001.body"));
    const std::string snapshot = directory.Read("out/0001.snapshot");
    ASSERT_GT(snapshot.size(), 4u);
    const unsigned char* tail = reinterpret_cast<const unsigned char*>(snapshot.data() + snapshot.size() - 4);
    const std::size_t bitmapLength = tail[0] | tail[1] << 8 | tail[2] << 16 | std::size_t(tail[3]) << 24;
    const std::string bmp = directory.Read("out/0001.bmp");
    EXPECT_EQ("BM", bmp.substr(0, 2));
    EXPECT_EQ(bitmapLength, bmp.size()) << "the raw snapshot announces the bitmap orvo-render decoded";
}

TEST_F(OrvoRender, SeveralWorkersShareTheList) {
    directory.Write("urls.txt", server.Url("/1") + "\n" + server.Url("/2") + "\n\n# skipped\n" + server.Url("/3") + "\n"
                                    + server.Url("/4") + "\n");
    std::string output;
    ASSERT_EQ(0, Run({"--out", "out", "--keep", "200", "--no-snapshot", "--workers", "2", "--in-flight", "1",
                      "--input", "urls.txt"},
                     output))
        << output;
    const std::vector<std::string> lines = Lines("out/results.jsonl");
    ASSERT_EQ(4u, lines.size());
    std::vector<std::string> workers;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        EXPECT_TRUE(Has(lines[k], "\"url\":\"" + server.Url("/" + std::to_string(k + 1)) + "\"")) << lines[k];
        EXPECT_TRUE(Has(lines[k], "\"outcome\":\"rendered\"")) << lines[k];
    }
    EXPECT_TRUE(Has(directory.Read("out/0004.html"), "<p>/4</p>"));
}

// With keep 0 a worker ends whenever it is idle for a moment, so later URLs
// may meet a worker that has ended, or is ending: they go to a fresh one,
// and every URL is rendered, none sent more than twice.
TEST_F(OrvoRender, AWorkerThatEndsBetweenRequestsIsReplaced) {
    std::vector<std::string> args{"--out", "out", "--keep", "0", "--no-snapshot", "--in-flight", "1"};
    for (int k = 0; k < 8; ++k) {
        args.push_back(server.Url("/page" + std::to_string(k)));
    }
    std::string output;
    ASSERT_EQ(0, Run(args, output)) << output;
    const std::vector<std::string> lines = Lines("out/results.jsonl");
    ASSERT_EQ(8u, lines.size());
    for (const std::string& line : lines) {
        const nlohmann::json result = Parse(line);
        EXPECT_EQ("rendered", result.at("outcome")) << line;
        EXPECT_LE(result.at("attempts").get<int>(), 2) << line;
        EXPECT_GT(result.at("pid").get<long>(), 0) << line;
    }
}

// Workers that retire after 3 requests are replaced as they retire: every
// URL is rendered once (the site sees each once), by a run of workers. A
// worker serves what it was sent before its ready marker went: with 2 in
// flight, at most 4.
TEST_F(OrvoRender, WorkersPastTheirPageLimitAreReplacedWithoutLosingAUrl) {
    std::vector<std::string> args{"--out", "out", "--keep", "5000", "--no-snapshot", "--in-flight", "2",
                                  "--workers", "2", "--max-pages", "3"};
    const int count = 24;
    for (int k = 0; k < count; ++k) {
        args.push_back(server.Url("/page" + std::to_string(k)));
    }
    std::string output;
    ASSERT_EQ(0, Run(args, output)) << output;
    const std::vector<std::string> lines = Lines("out/results.jsonl");
    ASSERT_EQ(static_cast<std::size_t>(count), lines.size());
    std::map<long, int> pages;
    for (const std::string& line : lines) {
        const nlohmann::json result = Parse(line);
        EXPECT_EQ("rendered", result.at("outcome")) << line;
        EXPECT_EQ(1, result.at("attempts").get<int>()) << line;
        ++pages[result.at("pid").get<long>()];
    }
    for (const auto& worker : pages) {
        EXPECT_LE(worker.second, 4) << "worker " << worker.first;
    }
    std::map<std::string, int> sent;
    for (const auto& request : server.Received()) {
        ++sent[request.target];
    }
    for (int k = 0; k < count; ++k) {
        EXPECT_EQ(1, sent["/page" + std::to_string(k)]) << k;
    }
    EXPECT_TRUE(Has(directory.Read("out/worker.log"), "QMainRequestHandler::Retire => took 3 requests (limit 3)"));
    EXPECT_EQ(2, Run({"--max-pages", "3", "--worker-pid", "1", "http://127.0.0.1/"}, output));
    EXPECT_TRUE(Has(output, "--max-pages and --max-rss replace the run's own workers")) << output;
}

// Objects of a process that no longer exists are removed at the start of a
// run, and said so; those of a live process are not. Any client starting
// meanwhile (orvo-serve in a test run beside this one) sweeps the same
// directory and may take the object first: the run is then tried again.
TEST_F(OrvoRender, StaleSharedObjectsOfDeadProcessesAreSwept) {
    OrvoTest::ChildProcess gone([] { return 0; });
    ASSERT_EQ(0, gone.Wait(10000));
    const std::string stale = "/dev/shm/OrvoClient_" + std::to_string(gone.Pid()) + "_0_0";
    const std::string live = "/dev/shm/OrvoClient_" + std::to_string(::getpid()) + "_99_0";
    std::ofstream(live) << "x";
    std::string output;
    for (int attempt = 0; attempt < 3 && !Has(output, "orvo-render: removed "); ++attempt) {
        std::ofstream(stale) << "x";
        EXPECT_EQ(0, Run({"--out", "out", "--keep", "200", "--no-snapshot", server.Url("/a")}, output)) << output;
        EXPECT_FALSE(boost::filesystem::exists(stale));
        EXPECT_TRUE(boost::filesystem::exists(live));
    }
    boost::filesystem::remove(live);
    EXPECT_TRUE(Has(output, "orvo-render: removed ")) << output;
}

// An endless page script takes its worker down (the stuck limit is
// shortened, the engine's own script limit off): its URL is a navigation
// error, and the URL behind it is rendered by a fresh worker.
TEST_F(OrvoRender, AWorkerStuckInAScriptIsReplaced) {
    std::string output;
    ASSERT_EQ(0, Run({"--out", "out", "--keep", "200", "--no-snapshot", server.Url("/loop"), server.Url("/after")},
                     output, {"ORVO_TEST_TIME_DIVISOR=5", "JSC_watchdog=0"}))
        << output;
    const std::vector<std::string> lines = Lines("out/results.jsonl");
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(Has(lines[0], "\"outcome\":\"navigation-error\",\"status\":null")) << lines[0];
    EXPECT_TRUE(Has(lines[1], "\"outcome\":\"rendered\"")) << lines[1];
    EXPECT_TRUE(Has(directory.Read("out/worker.log"), "MainThreadWatchdog => main thread stuck for 4000 ms on "
                                                          + server.Url("/loop")));
}

TEST_F(OrvoRender, UsageErrorsSayWhatWasWrong) {
    std::string output;
    EXPECT_EQ(2, Run({}, output));
    EXPECT_EQ("orvo-render: no URL given\nTry 'orvo-render --help'.\n", output);
    EXPECT_EQ(2, Run({"--workers", "zero", "http://127.0.0.1/"}, output));
    EXPECT_EQ("orvo-render: --workers takes a whole number of at least 1, not 'zero'\nTry 'orvo-render --help'.\n",
              output);
    EXPECT_EQ(2, Run({"--image", "gif", "http://127.0.0.1/"}, output));
    EXPECT_TRUE(Has(output, "--image takes png, jpeg or bmp, not 'gif'")) << output;
    EXPECT_EQ(2, Run({"--png-level", "10", "http://127.0.0.1/"}, output));
    EXPECT_TRUE(Has(output, "--png-level takes a whole number from 0 to 9, not '10'")) << output;
    EXPECT_EQ(2, Run({"--quality", "0", "http://127.0.0.1/"}, output));
    EXPECT_TRUE(Has(output, "--quality takes a whole number from 1 to 100, not '0'")) << output;
    EXPECT_EQ(2, Run({"--viewport", "1280", "http://127.0.0.1/"}, output));
    EXPECT_TRUE(Has(output, "--viewport must be WIDTHxHEIGHT, each from 1 to 16384")) << output;
    EXPECT_EQ(2, Run({"--queue", "http://127.0.0.1:6379", "http://127.0.0.1/"}, output));
    EXPECT_TRUE(Has(output, "--queue: a Redis address is redis://HOST:PORT[/DB]")) << output;
    EXPECT_EQ(2, Run({"--queue", "redis://127.0.0.1", "--workers", "2", "http://127.0.0.1/"}, output));
    EXPECT_TRUE(Has(output, "--workers does not go with --queue")) << output;
    EXPECT_EQ(2, Run({"--queue", "redis://127.0.0.1", "--tiva", "http://127.0.0.1/"}, output));
    EXPECT_TRUE(Has(output, "--queue cannot ask for tiva")) << output;
    for (const auto& wrong : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--engine", "gecko"}, "--engine takes webkit or chromium, not 'gecko'"},
             {{"--engine", "chromium", "--worker-pid", "1"}, "--engine chooses the engine of the run's own workers"}}) {
        std::vector<std::string> args = wrong.first;
        args.push_back("http://127.0.0.1/");
        EXPECT_EQ(2, Run(args, output));
        EXPECT_TRUE(Has(output, wrong.second)) << output;
    }
    EXPECT_EQ(0, Run({"--help"}, output));
    EXPECT_TRUE(Has(output, "usage: orvo-render [options] URL...")) << output;
}

TEST_F(OrvoRender, AUrlWithoutAnswerMakesTheExitStatusOne) {
    std::string output;
    EXPECT_EQ(1, Run({"--out", "out", "--worker-pid", "999999", "http://127.0.0.1/"}, output)) << output;
    EXPECT_TRUE(Has(directory.Read("out/results.jsonl"), "\"outcome\":\"worker-gone\"")) << output;
}

// Ctrl-C, SIGTERM and SIGHUP stop a run whose page never finishes: status
// 130, and neither the client's objects nor the worker it started stay.
TEST_F(OrvoRender, ASignalStopsTheRunAndLeavesNoSharedObject) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const std::string out = "out-" + std::to_string(signal);
        const std::string target = "/hang?" + std::to_string(signal);
        const std::string capture = directory.path + "/render.out";
        OrvoTest::ChildProcess render([&] {
            const int fd = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, 2);
            ::chdir(directory.path.c_str());
            ::putenv(const_cast<char*>("DISPLAY="));
            ::execl(ORVO_RENDER_BINARY, ORVO_RENDER_BINARY, "--out", out.c_str(), server.Url(target).c_str(),
                    static_cast<char*>(nullptr));
            return 127;
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!server.Got(target) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(server.Got(target)) << signal;
        const std::vector<std::string> workers = Children(render.Pid());
        ASSERT_EQ(1u, workers.size()) << signal;
        ::kill(render.Pid(), signal);
        EXPECT_EQ(130, render.Wait(20000)) << signal;
        EXPECT_TRUE(Has(directory.Read(out + "/results.jsonl"), "\"error\":\"interrupted\"")) << signal;
        EXPECT_FALSE(boost::filesystem::exists("/proc/" + workers[0])) << "worker " << workers[0];
        EXPECT_EQ("", SharedObjectsOf({render.Pid(), std::stol(workers[0])})) << signal;
    }
}

TEST(OrvoRenderCommandLine, OptionsMapOntoTypedRequestOptions) {
    Orvo::Render::Settings settings;
    std::string error;
    std::istringstream input("http://127.0.0.1/in\n");
    const auto action = Orvo::Render::CommandLine::Parse(
        {"--no-snapshot", "--coordinate", "--keep", "5", "--tiva", "--delay", "7", "--post", "a=1", "--script", "x;",
         "--cookie", "c=1", "--disable", "images", "--page-timeout", "9000", "--resource-timeout", "0", "--max-height",
         "20000", "--viewport", "1280x800", "--input", "-", "http://127.0.0.1/arg"},
        input, settings, error);
    ASSERT_EQ(Orvo::Render::CommandLine::Action::Run, action) << error;
    EXPECT_FALSE(boost::any_cast<bool>(settings.options.at("snapshot")));
    EXPECT_TRUE(boost::any_cast<bool>(settings.options.at("coordinate")));
    EXPECT_EQ(5, boost::any_cast<int>(settings.options.at("keep")));
    EXPECT_EQ(7, boost::any_cast<int>(settings.options.at("delay")));
    EXPECT_EQ("a=1", boost::any_cast<std::string>(settings.options.at("post")));
    EXPECT_EQ("images", boost::any_cast<std::string>(settings.options.at("disable")));
    EXPECT_EQ(9000, boost::any_cast<int>(settings.options.at("timeout")));
    EXPECT_EQ(0, boost::any_cast<int>(settings.options.at("resourceTimeout")));
    EXPECT_EQ(20000, boost::any_cast<int>(settings.options.at("maxHeight")));
    EXPECT_EQ("1280x800", boost::any_cast<std::string>(settings.options.at("viewport")));
    EXPECT_EQ((std::vector<std::string>{"http://127.0.0.1/in", "http://127.0.0.1/arg"}), settings.urls);
    EXPECT_EQ("file:///", Orvo::Render::CommandLine::ToUrl("/").substr(0, 8));
}

// A value each flag takes, by option; a text option with a form gets one
// of that form.
std::string Sample(const Orvo::Browser::Option::Row& row) {
    static const std::map<std::string, std::string> formed = {
        {"viewport", "640x480"}, {"proxy", "socks5://127.0.0.1:1080"}, {"baseUrl", "http://127.0.0.1/base/"}};
    return row.kind == Orvo::Browser::Option::Row::Kind::Int ? std::to_string(row.spec.least + 7)
                                                             : formed.count(row.key) ? formed.at(row.key) : "v w";
}

Orvo::Render::CommandLine::Action ParseArgs(const std::vector<std::string>& args, Orvo::Render::Settings& settings,
                                           std::string& error) {
    std::istringstream input;
    return Orvo::Render::CommandLine::Parse(args, input, settings, error);
}

// Every option with a flag, from the schema: the flag sets the option to
// its value in the option's type, a bad value is a usage error saying what
// the flag takes, the usage text lists it, and a run on a fleet refuses it
// unless the fleet's HTTP arguments carry it.
TEST(OrvoRenderCommandLine, EveryOptionsFlagSetsItChecksItAndIsListed) {
    namespace Option = Orvo::Browser::Option;
    using Action = Orvo::Render::CommandLine::Action;
    const std::string usage = Orvo::Render::CommandLine::Usage();
    std::size_t flags = 0;
    for (const Option::Row& row : Option::Schema()) {
        if (row.spec.flag == nullptr) {
            continue;
        }
        ++flags;
        const std::string flag = row.spec.flag;
        const std::size_t listed = usage.find("\n  " + flag);
        ASSERT_NE(std::string::npos, listed) << flag;
        EXPECT_NE(std::string::npos, std::string(" ,").find(usage.at(listed + 3 + flag.size()))) << flag;
        std::vector<std::string> args{flag};
        if (row.kind != Option::Row::Kind::Bool) {
            args.push_back(Sample(row));
        }
        args.push_back("http://127.0.0.1/");
        Orvo::Render::Settings settings;
        std::string error;
        ASSERT_EQ(Action::Run, ParseArgs(args, settings, error)) << flag << ": " << error;
        const boost::any& value = settings.options.at(row.key);
        if (row.kind == Option::Row::Kind::Bool) {
            EXPECT_TRUE(boost::any_cast<bool>(value)) << flag;
        } else if (row.kind == Option::Row::Kind::Int) {
            EXPECT_EQ(row.spec.least + 7, boost::any_cast<int>(value)) << flag;
        } else {
            EXPECT_EQ(Sample(row), boost::any_cast<std::string>(value)) << flag;
        }
        if (row.spec.fileFlag != nullptr) {
            const OrvoTest::TemporaryDirectory directory;
            const std::string bytes("from\0a file", 11);
            directory.Write("value", bytes);
            Orvo::Render::Settings fromFile;
            ASSERT_EQ(Action::Run, ParseArgs({row.spec.fileFlag, directory.path + "/value", "http://127.0.0.1/"},
                                             fromFile, error))
                << error;
            EXPECT_EQ(bytes, boost::any_cast<std::string>(fromFile.options.at(row.key))) << row.spec.fileFlag;
        }
        if (row.kind == Option::Row::Kind::Int || row.spec.form != nullptr) {
            Orvo::Render::Settings refused;
            EXPECT_EQ(Action::UsageError, ParseArgs({flag, "a b", "http://127.0.0.1/"}, refused, error)) << flag;
            EXPECT_EQ(0u, error.rfind(flag + (row.spec.form != nullptr ? std::string(" must be ") + row.spec.formText
                                                                       : std::string(" takes a whole number")),
                                      0))
                << error;
        }
        args.insert(args.begin(), {"--queue", "redis://127.0.0.1:1"});
        Orvo::Render::Settings queued;
        const Action onFleet = ParseArgs(args, queued, error);
        EXPECT_EQ(Orvo::Render::QueueJob::Carries(row) ? Action::Run : Action::UsageError, onFleet) << flag;
        if (onFleet == Action::UsageError) {
            EXPECT_EQ(std::string("--queue cannot ask for ") + row.key, error);
        }
    }
    EXPECT_LE(18u, flags) << "the flags of the usage text";
}

// The fleet's job asks with the HTTP API's arguments for what the options
// ask of a worker: those the schema gives an argument go under its name,
// milliseconds as seconds; a worker's default delay is asked for too.
TEST(OrvoRenderCommandLine, AFleetJobAsksWithTheSchemasArguments) {
    const struct {
        Orvo::Browser::Request::Options options;
        nlohmann::json args;
    } cases[] = {
        {{}, {{"wait", 0.1}, {"png", 1}, {"render_all", 1}}},
        {{{"snapshot", false}, {"delay", 2500}, {"resourceTimeout", 500}}, {{"wait", 2.5}, {"resource_timeout", 0.5}}},
        {{{"snapshot", false},
          {"proxy", std::string("127.0.0.1:3128")},
          {"allowedDomains", std::string("a.org, b.org")},
          {"allowedContentTypes", std::string("text/*")},
          {"forbiddenContentTypes", std::string("image/*")},
          {"script", std::string("x;")}},
         {{"wait", 0.1},
          {"proxy", "127.0.0.1:3128"},
          {"allowed_domains", "a.org, b.org"},
          {"allowed_content_types", "text/*"},
          {"forbidden_content_types", "image/*"},
          {"js_source", "x;"}}},
        {{{"snapshot", false}, {"viewport", std::string("640x480")}, {"disable", std::string("images")}},
         {{"wait", 0.1}, {"viewport", "640x480"}, {"images", 0}}},
    };
    for (const auto& c : cases) {
        Orvo::Render::Settings settings;
        settings.options = c.options;
        nlohmann::json expected = c.args;
        expected["url"] = "http://127.0.0.1/";
        expected["html"] = 1;
        EXPECT_EQ(expected, Orvo::Render::QueueJob::Arguments(settings, "http://127.0.0.1/"));
    }
}

// The rows of the README's table that starts after heading: each row's
// cells, its first cell's names (split at ", ", backticks dropped) as keys.
std::map<std::string, std::vector<std::string>> ReadmeTable(const std::string& heading) {
    std::ifstream file(ORVO_README);
    std::string line;
    while (std::getline(file, line) && line != heading) {
    }
    std::map<std::string, std::vector<std::string>> rows;
    bool inTable = false;
    while (std::getline(file, line) && (!inTable || line.rfind("|", 0) == 0)) {
        inTable = inTable || line.rfind("|", 0) == 0;
        if (!inTable || line.rfind("|---", 0) == 0) {
            continue;
        }
        // Cells end at each '|' that is not escaped as "\\|".
        std::vector<std::string> cells(1);
        for (std::size_t k = 2; k + 2 < line.size(); ++k) {
            if (line[k] == '|' && line[k - 1] != '\\') {
                cells.emplace_back();
            } else {
                cells.back().push_back(line[k]);
            }
        }
        for (std::string& cell : cells) {
            boost::algorithm::trim(cell);
        }
        std::string names = cells.at(0);
        names.erase(std::remove(names.begin(), names.end(), '`'), names.end());
        std::vector<std::string> keys;
        boost::algorithm::split(keys, names, [](char c) { return c == ','; });
        for (std::string& key : keys) {
            rows[key.substr(key.find_first_not_of(' '))] = cells;
        }
    }
    return rows;
}

// The README's tables say what the schema says: each option's flags, type,
// default and whether the Chromium engine applies it in the table of
// request options, and in orvo-serve's table
// the argument that gives it names it.
TEST(OrvoRenderCommandLine, TheReadmesTablesFollowTheSchema) {
    namespace Option = Orvo::Browser::Option;
    const auto options = ReadmeTable("## Request options");
    const auto arguments = ReadmeTable("| argument | default | meaning |");
    ASSERT_LE(20u, options.size());
    ASSERT_LE(20u, arguments.size());
    static const char* const Types[] = {"bool", "int", "text"};
    for (const Option::Row& row : Option::Schema()) {
        ASSERT_EQ(1u, options.count(row.key)) << row.key;
        const std::vector<std::string>& cells = options.at(row.key);
        ASSERT_EQ(6u, cells.size()) << row.key;
        EXPECT_EQ(row.spec.chromium ? "yes" : "no", cells[5]) << row.key << ": the Chromium engine's column";
        std::size_t flags = 0;
        for (const char* flag : {row.spec.flag, row.spec.offFlag, row.spec.fileFlag}) {
            flags += flag != nullptr ? 1 : 0;
            EXPECT_TRUE(flag == nullptr || cells[1].find(std::string("`") + flag) != std::string::npos) << flag;
        }
        EXPECT_EQ(flags == 0, cells[1].empty()) << row.key << ": " << cells[1];
        EXPECT_EQ(0u, cells[2].rfind(Types[static_cast<int>(row.kind)], 0)) << row.key;
        if (row.kind == Option::Row::Kind::Bool) {
            EXPECT_EQ(row.defaultText == "1" ? "true" : "false", cells[3]) << row.key;
        } else if (row.kind == Option::Row::Kind::Int) {
            EXPECT_EQ(row.defaultText, cells[3]) << row.key;
        }
        if (row.spec.http != nullptr) {
            ASSERT_EQ(1u, arguments.count(row.spec.http)) << row.spec.http;
            EXPECT_NE(std::string::npos, arguments.at(row.spec.http).back().find(std::string("`") + row.key + "`"))
                << row.spec.http << " names " << row.key;
        }
    }
}

} // namespace
