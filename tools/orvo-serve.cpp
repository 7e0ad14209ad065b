// orvo-serve: an HTTP rendering service in front of a pool of workers.
// See --help.

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/program_options.hpp>

#include <arpa/inet.h>
#include <unistd.h>

#include "Client/StaleObjects.h"
#include "serve/AccessLog.h"
#include "serve/HttpListener.h"
#include "serve/HttpService.h"
#include "Process/HeapRelease.h"
#include "Protocol/TimeDivisor.h"
#include "queue/RedisConnection.h"
#include "serve/Metrics.h"
#include "serve/QueueConsumer.h"
#include "serve/RenderPools.h"

namespace {

namespace options = boost::program_options;
using namespace Orvo::Serve;

const int UsageStatus = 2;
// How often a stopping service looks whether its last answers are out.
const int StopPollMs = 50;
// How often the heap is trimmed while pages are rendered.
const int TrimIntervalMs = 1000;

struct Settings {
    std::string listen = "127.0.0.1:8050";
    int workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    int chromiumWorkers = 0;
    int inFlight = 8;
    int maxQueue = 200;
    int maxTimeout = 90;
    bool allowFileUrls = false;
    std::string log;
    std::string queue;
    std::string queueName = "orvo";
    int maxDeliveries = 3;
    std::size_t maxResultBytes = 32 << 20;
    long maxResults = 100000;
    std::size_t maxPages = 0;
    std::size_t maxRss = 0;
    long long maxViewportArea = RenderArguments::DefaultMaxViewportArea;
    long long maxSnapshotPixels = RenderArguments::DefaultMaxSnapshotPixels;
    std::size_t maxConnections = 1000;
    std::string authFile;
    std::string deniedNetworks;
    bool openHealth = false;
};

// How much longer than the longest page a job may stay pending before
// another instance takes it over.
const int ClaimMarginMs = 20000;
const char NoListening[] = "none";

options::options_description Description(Settings& settings) {
    options::options_description description("orvo-serve [options]: renders pages over HTTP with Orvo Browser workers");
    const auto value = [](auto* field) { return options::value(field)->default_value(*field); };
    description.add_options()
        ("help,h", "show this help")
        ("listen", value(&settings.listen), "HOST:PORT to listen on, or none (with --queue)")
        ("workers", value(&settings.workers), "workers (default: one per core)")
        ("chromium-workers", value(&settings.chromiumWorkers),
         "workers of the Chromium engine, for requests with engine=chromium (0: none)")
        ("in-flight", value(&settings.inFlight), "requests outstanding per worker")
        ("max-queue", value(&settings.maxQueue), "render requests that may wait for a worker; more are answered 503")
        ("max-timeout", value(&settings.maxTimeout), "the largest timeout argument, in seconds")
        ("allow-file-urls", options::bool_switch(&settings.allowFileUrls), "let requests load file: URLs")
        ("log", options::value(&settings.log), "append the access log and the workers' output to FILE")
        ("queue", options::value(&settings.queue), "also render the jobs of redis://HOST:PORT[/DB]")
        ("queue-name", value(&settings.queueName), "the queue's name: streams NAME:jobs, NAME:results, NAME:dead")
        ("max-deliveries", value(&settings.maxDeliveries), "deliveries of a job before it goes to NAME:dead")
        ("max-result-bytes", value(&settings.maxResultBytes), "larger results become 413 errors in the queue")
        ("max-results", value(&settings.maxResults), "a reply stream is trimmed to about this many results")
        ("max-pages", value(&settings.maxPages), "replace a worker after it took this many requests (0: never)")
        ("max-rss", value(&settings.maxRss), "replace a worker once its resident memory passes this (MB; 0: never)")
        ("auth-file", options::value(&settings.authFile),
         "let in only the users of FILE (user:password lines), by HTTP basic authentication")
        ("open-health", options::bool_switch(&settings.openHealth), "with --auth-file: /_ping and /metrics for anyone")
        ("denied-networks", options::value(&settings.deniedNetworks),
         "no page nor any of its requests reaches these networks (ADDRESS/BITS, separated by commas)")
        ("max-connections", value(&settings.maxConnections),
         "connections served at once; past them only /_ping and /metrics are answered, renders get 503")
        ("max-viewport-area", value(&settings.maxViewportArea), "the largest viewport, in pixels; larger is a 400")
        ("max-snapshot-pixels", value(&settings.maxSnapshotPixels),
         "a whole-page snapshot is cut at the height that makes this many pixels at its viewport's width");
    return description;
}

boost::asio::ip::tcp::endpoint ListenAddress(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        throw std::invalid_argument("--listen takes HOST:PORT, not '" + text + "'");
    }
    const int port = std::stoi(text.substr(colon + 1));
    if (port < 0 || port > 65535) {
        throw std::invalid_argument("--listen: no such port: " + text.substr(colon + 1));
    }
    return {boost::asio::ip::make_address(text.substr(0, colon)), static_cast<unsigned short>(port)};
}

// The workers read --denied-networks; a list they would refuse is a usage
// error here, before any worker starts.
void CheckNetworks(const std::string& list) {
    std::vector<std::string> entries;
    boost::algorithm::split(entries, list, [](char c) { return c == ','; });
    for (std::string entry : entries) {
        boost::algorithm::trim(entry);
        const std::size_t slash = entry.find('/');
        unsigned char address[sizeof(in6_addr)];
        const std::string host = entry.substr(0, slash);
        const bool v4 = ::inet_pton(AF_INET, host.c_str(), address) == 1;
        const bool v6 = !v4 && ::inet_pton(AF_INET6, host.c_str(), address) == 1;
        const std::string bits = slash == std::string::npos ? "" : entry.substr(slash + 1);
        const bool counted = !bits.empty() && bits.size() <= 3
                             && std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; })
                             && std::stoi(bits) <= (v4 ? 32 : 128);
        if (!entry.empty() && (!(v4 || v6) || !counted)) {
            throw std::invalid_argument("--denied-networks: not a network (ADDRESS/BITS): " + entry);
        }
    }
}

void CheckSettings(const Settings& settings) {
    if (settings.workers < 1 || settings.inFlight < 1 || settings.maxQueue < 0 || settings.maxTimeout < 1
        || settings.maxDeliveries < 1 || settings.maxResults < 1 || settings.maxViewportArea < 1
        || settings.maxSnapshotPixels < 1 || settings.maxConnections < 1) {
        throw std::invalid_argument("--workers, --in-flight, --max-timeout, --max-deliveries, --max-results, "
                                    "--max-connections, --max-viewport-area and --max-snapshot-pixels take 1 or "
                                    "more, --max-queue 0 or more");
    }
    if (settings.chromiumWorkers < 0) {
        throw std::invalid_argument("--chromium-workers takes 0 or more");
    }
    if (settings.listen == NoListening && settings.queue.empty()) {
        throw std::invalid_argument("--listen none serves nothing without --queue");
    }
    if (!settings.queue.empty()) {
        Orvo::Queue::RedisAddress::Parse(settings.queue);
    }
    CheckNetworks(settings.deniedNetworks);
}

// Who may use the service over HTTP; throws std::invalid_argument for an
// auth file that cannot be used.
HttpService::Access ReadAccess(const Settings& settings) {
    if (settings.openHealth && settings.authFile.empty()) {
        throw std::invalid_argument("--open-health goes with --auth-file");
    }
    HttpService::Access access;
    if (!settings.authFile.empty()) {
        access.auth = BasicAuth::FromFile(settings.authFile);
    }
    access.openHealth = settings.openHealth;
    return access;
}

QueueConsumer::Settings ConsumerSettings(const Settings& settings) {
    QueueConsumer::Settings consumer;
    consumer.address = Orvo::Queue::RedisAddress::Parse(settings.queue);
    consumer.name = settings.queueName;
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    consumer.consumer = std::string(host) + ":" + std::to_string(::getpid());
    consumer.capacity = settings.workers * settings.inFlight;
    consumer.maxDeliveries = settings.maxDeliveries;
    consumer.maxResultBytes = settings.maxResultBytes;
    consumer.maxLength = settings.maxResults;
    consumer.claimIdleMs = settings.maxTimeout * 1000
                           + Orvo::Browser::TimeDivisor::Scaled(RenderPool::GraceMs + ClaimMarginMs);
    return consumer;
}

// Once stopping: waits for the answers still owed (at most maxTimeout
// seconds and the pool's grace), then stops the io_context.
void AwaitAnswers(boost::asio::steady_timer& timer, HttpService& service, std::chrono::steady_clock::time_point end,
                  boost::asio::io_context& io) {
    if (service.Unanswered() == 0 || std::chrono::steady_clock::now() >= end) {
        io.stop();
        return;
    }
    timer.expires_after(std::chrono::milliseconds(StopPollMs));
    timer.async_wait(
        [&timer, &service, end, &io](boost::system::error_code) { AwaitAnswers(timer, service, end, io); });
}

// Every TrimIntervalMs in which renders were answered, the heap's free
// memory goes back to the system: the images of answered pages are large,
// and the allocator would keep their memory.
void TrimAfterRenders(boost::asio::steady_timer& timer, const Metrics& metrics, unsigned long seen) {
    timer.expires_after(std::chrono::milliseconds(TrimIntervalMs));
    timer.async_wait([&timer, &metrics, seen](boost::system::error_code error) {
        if (error) {
            return;
        }
        const unsigned long renders = metrics.Renders();
        if (renders != seen) {
            Orvo::Browser::HeapRelease::Trim();
        }
        TrimAfterRenders(timer, metrics, renders);
    });
}

// Listens on address unless listen is false; takes the queue's jobs when
// one is set.
int Serve(const Settings& settings, const HttpService::Access& access, bool listen,
          const boost::asio::ip::tcp::endpoint& address) {
    AccessLog log(settings.log);
    Orvo::Browser::Client::StaleObjects::Sweep();
    RenderPool::Settings poolSettings;
    poolSettings.workers = settings.workers;
    poolSettings.inFlight = settings.inFlight;
    poolSettings.maxQueue = static_cast<std::size_t>(settings.maxQueue);
    poolSettings.allowFileUrls = settings.allowFileUrls;
    poolSettings.deniedNetworks = settings.deniedNetworks;
    poolSettings.workerLog = settings.log;
    poolSettings.recyclePages = settings.maxPages;
    poolSettings.recycleRssMb = settings.maxRss;
    RenderPools pools(poolSettings, settings.chromiumWorkers);
    Metrics metrics;
    boost::asio::io_context io;
    boost::asio::thread_pool encoders(std::max(1u, std::thread::hardware_concurrency()));
    HttpService service(io, encoders, pools, metrics, log,
                        {settings.maxTimeout, settings.allowFileUrls, settings.maxViewportArea,
                         settings.maxSnapshotPixels},
                        access);
    HttpListener listener(io, service, settings.maxConnections);
    if (listen) {
        listener.Listen(address);
    }
    std::unique_ptr<QueueConsumer> consumer;
    if (!settings.queue.empty()) {
        consumer.reset(new QueueConsumer(ConsumerSettings(settings), io, service, metrics, log));
    }
    pools.Start();
    const std::string workers = " with " + std::to_string(settings.workers) + " workers";
    log.Message(listen ? "listening on " + listener.LocalEndpoint().address().to_string() + ":"
                             + std::to_string(listener.LocalEndpoint().port()) + workers
                       : "serving the queue only" + workers);
    if (consumer) {
        consumer->Start();
    }
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    boost::asio::steady_timer stopTimer(io);
    boost::asio::steady_timer trimTimer(io);
    TrimAfterRenders(trimTimer, metrics, 0);
    signals.async_wait([&](boost::system::error_code error, int signal) {
        if (error) {
            return;
        }
        log.Message(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
        listener.Close();
        if (consumer) {
            consumer->StopReading();
        }
        service.BeginStopping();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(settings.maxTimeout)
                         + std::chrono::milliseconds(RenderPool::GraceMs);
        AwaitAnswers(stopTimer, service, end, io);
    });
    io.run();
    consumer.reset();
    pools.Stop();
    encoders.join();
    log.Message("stopped");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Orvo::Browser::HeapRelease::TuneAllocator();
    Settings settings;
    const options::options_description description = Description(settings);
    boost::asio::ip::tcp::endpoint address;
    HttpService::Access access;
    try {
        options::variables_map values;
        options::store(options::command_line_parser(argc, argv).options(description).run(), values);
        options::notify(values);
        if (values.count("help") != 0) {
            std::cout << description;
            return 0;
        }
        CheckSettings(settings);
        access = ReadAccess(settings);
        if (settings.listen != NoListening) {
            address = ListenAddress(settings.listen);
        }
    } catch (const std::exception& e) {
        std::cerr << "orvo-serve: " << e.what() << "\nTry 'orvo-serve --help'.\n";
        return UsageStatus;
    }
    try {
        return Serve(settings, access, settings.listen != NoListening, address);
    } catch (const std::exception& e) {
        std::cerr << "orvo-serve: " << e.what() << "\n";
        return 1;
    }
}
