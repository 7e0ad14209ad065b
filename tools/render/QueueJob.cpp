#include "QueueJob.h"

#include <chrono>
#include <cstdio>
#include <set>

#include <QByteArray>
#include <QImage>
#include <boost/any.hpp>
#include <unistd.h>

namespace Orvo {
namespace Render {

namespace {

using Browser::Client::Outcome;
using Browser::Client::Result;
using nlohmann::json;
using Queue::RedisConnection;
using Queue::RedisError;
using Queue::RedisReply;
using Queue::StreamEntry;

// The request option's value, or fallback when it is not set.
template <class T>
T OptionOr(const Settings& settings, const char* name, T fallback) {
    const auto found = settings.options.find(name);
    return found == settings.options.end() ? fallback : boost::any_cast<T>(found->second);
}

std::string ReplyStreamName(const std::string& queue) {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return queue + ":reply:" + host + ":" + std::to_string(::getpid()) + ":"
           + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// The PNG of a render.json answer, decoded.
Browser::Client::Snapshot Decode(const std::string& base64) {
    Browser::Client::Snapshot snapshot;
    const QByteArray bytes = QByteArray::fromBase64(QByteArray::fromStdString(base64));
    const QImage image = QImage::fromData(bytes, "PNG").convertToFormat(QImage::Format_RGB888);
    if (image.isNull()) {
        return snapshot;
    }
    snapshot.width = image.width();
    snapshot.height = image.height();
    const std::size_t row = static_cast<std::size_t>(image.width()) * 3;
    snapshot.rgb.resize(row * static_cast<std::size_t>(image.height()));
    for (int y = 0; y < image.height(); ++y) {
        std::copy(image.constScanLine(y), image.constScanLine(y) + row, &snapshot.rgb[row * static_cast<std::size_t>(y)]);
    }
    return snapshot;
}

// A failed job's result from its HTTP status and error object.
Result Failure(const std::string& url, int status, const json& error) {
    const std::string description = error.value("description", std::string("status ") + std::to_string(status));
    const json info = error.value("info", json::object());
    if (status == 502 && error.value("type", std::string()) == "RenderError") {
        Result result = Result::Unanswered(url, Outcome::NavigationError, std::string());
        result.status = info.value("code", 0);
        result.detail = result.status != 0 ? std::to_string(result.status) : std::string();
        return result;
    }
    const Outcome outcome = status == 504 ? Outcome::TimedOut : status == 503 ? Outcome::WorkerGone : Outcome::Failed;
    return Result::Unanswered(url, outcome, description + (info.empty() ? "" : " " + info.dump()));
}

} // namespace

QueueJob::QueueJob(const Settings& settings, const std::atomic<bool>& interrupted)
    : settings(settings), interrupted(interrupted), streams(settings.queueName),
      replyStream(ReplyStreamName(settings.queueName)), done(0) {}

json QueueJob::Arguments(const Settings& settings, const std::string& url) {
    // The API waits nothing by default, a worker its delay.
    json args = {{"url", url}, {"html", 1}, {"wait", Browser::Option::Delay::Default() / 1000.0}};
    for (const Browser::Option::Row& row : Browser::Option::Schema()) {
        const auto given = settings.options.find(row.key);
        if (given == settings.options.end()) {
            continue;
        }
        if (row.spec.httpForm == Browser::Option::HttpForm::Text) {
            args[row.spec.http] = boost::any_cast<std::string>(given->second);
        } else if (row.spec.httpForm == Browser::Option::HttpForm::Seconds) {
            args[row.spec.http] = boost::any_cast<int>(given->second) / 1000.0;
        }
    }
    if (OptionOr(settings, "snapshot", true)) {
        args["png"] = 1;
        args["render_all"] = 1;
    }
    if (settings.timeoutSet) {
        args["timeout"] = settings.timeoutSeconds;
    }
    const std::string post = OptionOr(settings, "post", std::string());
    if (!post.empty()) {
        args["http_method"] = "POST";
        args["body"] = post;
    }
    const std::string cookie = OptionOr(settings, "cookie", std::string());
    if (!cookie.empty()) {
        args["headers"] = {{"Cookie", cookie}};
    }
    if (OptionOr(settings, "disable", std::string()).find("images") != std::string::npos) {
        args["images"] = 0;
    }
    const std::string viewport = OptionOr(settings, "viewport", std::string());
    if (!viewport.empty()) {
        args["viewport"] = viewport;
    }
    return args;
}

bool QueueJob::Carries(const Browser::Option::Row& row) {
    static const std::set<std::string> ownWay = {"snapshot", "post", "cookie", "disable", "viewport"};
    return row.spec.httpForm == Browser::Option::HttpForm::Text
           || row.spec.httpForm == Browser::Option::HttpForm::Seconds || ownWay.count(row.key) != 0;
}

Record QueueJob::FromResult(const StreamEntry& entry, std::size_t index, const std::string& url) {
    Record record;
    record.index = index;
    record.url = url;
    record.done = true;
    record.attempts = std::atoi(entry.Field("attempts").c_str());
    record.ms = std::atof(entry.Field("ms").c_str());
    record.consumer = entry.Field("consumer");
    const int status = std::atoi(entry.Field("status").c_str());
    if (status != 200) {
        const json error = json::parse(entry.Field("error"), nullptr, false);
        record.result = Failure(url, status, error.is_object() ? error : json::object());
        return record;
    }
    const json body = json::parse(entry.Field("body"), nullptr, false);
    if (!body.is_object() || !body.contains("html") || !body["html"].is_string()) {
        record.result = Result::Unanswered(url, Outcome::Failed, "the result is not a render.json answer");
        return record;
    }
    record.result.outcome = Outcome::Rendered;
    record.result.url = url;
    record.result.pageUrl = body.value("url", url);
    record.result.body = body["html"].get<std::string>();
    if (body.contains("png") && body["png"].is_string()) {
        record.result.snapshot = Decode(body["png"].get<std::string>());
    }
    return record;
}

bool QueueJob::Stopping() const {
    return interrupted;
}

std::vector<Record> QueueJob::Run(const Listener& onDone) {
    records.resize(settings.urls.size());
    for (std::size_t k = 0; k < records.size(); ++k) {
        records[k].index = k + 1;
        records[k].url = settings.urls[k];
    }
    Queue::RedisLink link(Queue::RedisAddress::Parse(settings.queue), [](bool reachable, const std::string& why) {
        std::fprintf(stderr, reachable ? "orvo-render: the queue is reachable again\n"
                                       : "orvo-render: the queue is unreachable (%s); trying again\n",
                     why.c_str());
    });
    AddJobs(link);
    ReadResults(link, onDone);
    Forget(link);
    return records;
}

void QueueJob::AddJobs(Queue::RedisLink& link) {
    for (std::size_t k = 0; k < records.size() && !Stopping();) {
        try {
            const RedisReply added = link.Get().Command(
                {"XADD", streams.jobs, "*", "id", std::to_string(k + 1), "endpoint", "render.json", "args",
                 Arguments(settings, records[k].url).dump(), "reply", replyStream});
            entries[k + 1] = added.text;
            ++k;
        } catch (const RedisError& e) {
            link.Fail(e, [this] { return Stopping(); });
        }
    }
}

void QueueJob::ReadResults(Queue::RedisLink& link, const Listener& onDone) {
    std::string last = "0-0";
    while (done < records.size() && !Stopping()) {
        try {
            const RedisReply reply = link.Get().Command(
                {"XREAD", "COUNT", "100", "BLOCK", std::to_string(ReadBlockMs), "STREAMS", replyStream, last},
                ReadBlockMs);
            for (const RedisReply& stream : reply.elements) {
                for (const StreamEntry& entry : StreamEntry::List(stream.elements.at(1))) {
                    last = entry.id;
                    const std::size_t index = std::strtoul(entry.Field("id").c_str(), nullptr, 10);
                    if (index == 0 || index > records.size() || records[index - 1].done) {
                        continue;
                    }
                    records[index - 1] = FromResult(entry, index, records[index - 1].url);
                    entries.erase(index);
                    ++done;
                    onDone(records[index - 1]);
                }
            }
        } catch (const RedisError& e) {
            link.Fail(e, [this] { return Stopping(); });
        }
    }
}

// Deletes the run's reply stream, and the jobs of URLs an interrupted run
// leaves unanswered, which are reported failed.
void QueueJob::Forget(Queue::RedisLink& link) {
    for (Record& record : records) {
        if (!record.done) {
            record.result = Result::Unanswered(record.url, Outcome::Failed, "interrupted");
        }
    }
    try {
        RedisConnection& redis = link.Get();
        for (const auto& entry : entries) {
            redis.Command({"XDEL", streams.jobs, entry.second});
        }
        redis.Command({"DEL", replyStream});
    } catch (const RedisError& e) {
        std::fprintf(stderr, "orvo-render: the queue keeps this run's jobs and results: %s\n", e.what());
    }
}

} // namespace Render
} // namespace Orvo
