// orvo-render's side of the fleet in process, against a fleet played by
// the test: the jobs it adds, and how it reads results, once each.

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Common/RedisServer.h"
#include "queue/JobStreams.h"
#include "render/QueueJob.h"

namespace {

using Orvo::Browser::Client::Outcome;
using Orvo::Queue::RedisAddress;
using Orvo::Queue::RedisConnection;
using Orvo::Queue::StreamEntry;
using Orvo::Render::QueueJob;
using Orvo::Render::Record;
using nlohmann::json;

// A 3×2 picture, red but its last pixel blue, as render.json carries it.
std::string PictureBase64() {
    QImage image(3, 2, QImage::Format_RGB32);
    image.fill(qRgb(255, 0, 0));
    image.setPixel(2, 1, qRgb(0, 0, 255));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toBase64().toStdString();
}

// Plays the fleet for n jobs: answers job 1 twice (a job rendered again
// after its instance died), the others once each as an instance answers
// their failures; records the jobs' fields.
void PlayFleet(const std::string& url, std::size_t n, std::vector<StreamEntry>& jobs) {
    RedisConnection redis(RedisAddress::Parse(url), 5000);
    std::string last = "0-0";
    while (jobs.size() < n) {
        const auto reply = redis.Command({"XREAD", "BLOCK", "100", "STREAMS", "orvo:jobs", last}, 100);
        for (const auto& stream : reply.elements) {
            for (const StreamEntry& job : StreamEntry::List(stream.elements.at(1))) {
                last = job.id;
                jobs.push_back(job);
            }
        }
    }
    const auto answer = [&](const StreamEntry& job, const std::string& status, const std::string& body,
                            const json& error) {
        std::vector<std::string> command{"XADD", job.Field("reply"), "*", "id", job.Field("id"), "status", status,
                                         "content_type", "application/json", "body", body, "attempts", "2",
                                         "consumer", "host:42", "ms", "120"};
        if (!error.is_null()) {
            command.insert(command.end(), {"error", error.dump()});
        }
        redis.Command(command);
    };
    const json page = {{"url", "http://example.com/landed"}, {"html", "<p>one</p>"}, {"png", PictureBase64()}};
    answer(jobs[0], "200", page.dump(), nullptr);
    answer(jobs[0], "200", json{{"url", "x"}, {"html", "<p>again</p>"}}.dump(), nullptr);
    answer(jobs[1], "502", "", {{"type", "RenderError"}, {"info", {{"type", "HTTP"}, {"code", 404}}}});
    answer(jobs[2], "504", "", {{"type", "GlobalTimeoutError"}, {"description", "Timeout exceeded rendering page"}});
    answer(jobs[3], "503", "", {{"type", "WorkerUnavailable"}, {"description", "The page's worker ended"}});
    answer(jobs[4], "400", "", {{"type", "BadOption"}, {"description", "Incorrect HTTP API arguments"}});
}

TEST(QueueJob, EachUrlIsAJobAndEachResultARecordOnce) {
    OrvoTest::RedisServer redis;
    Orvo::Render::Settings settings;
    settings.queue = redis.Url();
    settings.options["delay"] = 250;
    settings.options["cookie"] = std::string("a=1");
    settings.timeoutSeconds = 20;
    settings.timeoutSet = true;
    for (int k = 1; k <= 5; ++k) {
        settings.urls.push_back("http://example.com/" + std::to_string(k));
    }
    std::vector<StreamEntry> jobs;
    std::thread fleet([&] { PlayFleet(redis.Url(), settings.urls.size(), jobs); });
    std::atomic<bool> interrupted(false);
    std::vector<std::size_t> heard;
    const std::vector<Record> records =
        QueueJob(settings, interrupted).Run([&](Record& record) { heard.push_back(record.index); });
    fleet.join();

    ASSERT_EQ(5u, jobs.size());
    EXPECT_EQ("1", jobs[0].Field("id"));
    EXPECT_EQ("render.json", jobs[0].Field("endpoint"));
    const json args = json::parse(jobs[0].Field("args"));
    EXPECT_EQ("http://example.com/1", args.at("url"));
    EXPECT_EQ(0.25, args.at("wait"));
    EXPECT_EQ(20, args.at("timeout"));
    EXPECT_EQ(1, args.at("png"));
    EXPECT_EQ(1, args.at("render_all"));
    EXPECT_EQ("a=1", args.at("headers").at("Cookie"));
    EXPECT_EQ(0u, jobs[0].Field("reply").find("orvo:reply:"));

    EXPECT_EQ(std::vector<std::size_t>({1, 2, 3, 4, 5}), heard) << "job 1's second result is dropped";
    ASSERT_EQ(5u, records.size());
    EXPECT_EQ(Outcome::Rendered, records[0].result.outcome);
    EXPECT_EQ("<p>one</p>", records[0].result.body);
    EXPECT_EQ("http://example.com/landed", records[0].result.pageUrl);
    EXPECT_EQ(2, records[0].attempts);
    EXPECT_EQ("host:42", records[0].consumer);
    EXPECT_EQ(120, records[0].ms);
    ASSERT_EQ(3, records[0].result.snapshot.width);
    ASSERT_EQ(2, records[0].result.snapshot.height);
    EXPECT_EQ(std::vector<unsigned char>({255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 0, 255}),
              records[0].result.snapshot.rgb);
    EXPECT_EQ(Outcome::NavigationError, records[1].result.outcome);
    EXPECT_EQ(404, records[1].result.status);
    EXPECT_EQ(Outcome::TimedOut, records[2].result.outcome);
    EXPECT_EQ(Outcome::WorkerGone, records[3].result.outcome);
    EXPECT_EQ(Outcome::Failed, records[4].result.outcome);
    EXPECT_EQ(0u, records[4].result.error.find("Incorrect HTTP API arguments")) << records[4].result.error;
    EXPECT_EQ(0, redis.Command({"EXISTS", jobs[0].Field("reply")}).integer) << "the reply stream is deleted";
}

} // namespace
