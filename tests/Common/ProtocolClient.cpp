#include "Common/ProtocolClient.h"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/interprocess/sync/named_semaphore.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <unistd.h>

#include "Protocol/Channel.h"
#include "Protocol/Deadline.h"
#include "Protocol/ServerResult.h"
#include "Protocol/TimeOutException.h"
#include "Protocol/WorkerNames.h"

namespace OrvoTest {

namespace bip = boost::interprocess;
using Orvo::Browser::Request;
using Orvo::Browser::Segment;
using Orvo::Browser::ServerResult;
typedef Orvo::Interprocess::Channel<Segment, Request> RequestChannel;
typedef Orvo::Interprocess::Channel<Segment, ServerResult> ResultChannel;

ProtocolClient::ProtocolClient(long workerPid, const std::string& prefix)
    : workerPid(workerPid), prefix(prefix + "_" + std::to_string(::getpid()) + "_") {}

ProtocolClient::~ProtocolClient() {
    for (const auto& result : results) {
        bip::named_mutex::remove(ResultChannel::MutexName(result.first.c_str()).c_str());
        bip::named_condition::remove(ResultChannel::ConditionName(result.first.c_str()).c_str());
        bip::shared_memory_object::remove(result.first.c_str());
    }
}

bool ProtocolClient::AwaitReady(long workerPid, int timeoutMs) {
    const std::string marker = "/dev/shm/sem." + Orvo::Browser::WorkerNames::ReadyMarker(workerPid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (::access(marker.c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string ProtocolClient::NewName(std::size_t bytes) {
    // Numbered across the process, so that no two clients of one test
    // program ever use the same name.
    static std::atomic<int> number(0);
    const std::string name = prefix + std::to_string(number++);
    std::unique_ptr<Segment> segment(new Segment(bip::create_only, name.c_str(), bytes));
    ResultChannel::Create(*segment, name.c_str());
    results.emplace(name, std::move(segment));
    return name;
}

void ProtocolClient::Put(const std::string& url, const std::string& name, const Request::Options& options,
                         const std::map<std::string, std::string>& texts) {
    Put({Record{url, name, options, texts}});
}

void ProtocolClient::Put(const std::vector<Record>& records) {
    const std::string segmentName = Orvo::Browser::WorkerNames::RequestSegment(workerPid);
    Segment segment(bip::open_only, segmentName.c_str());
    RequestChannel::List* list = segment.find<RequestChannel::List>(segmentName.c_str()).first;
    if (list == nullptr) {
        throw std::runtime_error("no request channel in " + segmentName);
    }
    bip::named_mutex mutex(bip::open_only, RequestChannel::MutexName(segmentName.c_str()).c_str());
    bip::named_condition condition(bip::open_only, RequestChannel::ConditionName(segmentName.c_str()).c_str());
    std::vector<RequestChannel::Element> elements;
    for (const Record& record : records) {
        Request* request =
            record.name.empty()
                ? segment.construct<Request>(bip::anonymous_instance)(segment)
                : segment.construct<Request>(bip::anonymous_instance)(segment, record.url, record.name,
                                                                      record.options);
        for (const auto& text : record.texts) {
            const auto manager = segment.get_segment_manager();
            request->options->emplace(Orvo::Browser::String(text.first.begin(), text.first.end(), manager),
                                      Orvo::Browser::String(text.second.begin(), text.second.end(), manager));
        }
        elements.push_back(bip::make_managed_unique_ptr(request, segment));
    }
    {
        bip::scoped_lock<bip::named_mutex> lock(mutex, Orvo::Interprocess::Deadline::After(5000));
        if (!lock.owns()) {
            throw std::runtime_error("the request channel's lock was not free for 5 s");
        }
        for (RequestChannel::Element& element : elements) {
            list->push_back(boost::move(element));
        }
    }
    condition.notify_all();
}

bool ProtocolClient::Take(const std::string& name, Answer& answer, int timeoutMs) {
    Segment& segment = *results.at(name);
    const boost::shared_ptr<ResultChannel> channel = ResultChannel::Get(segment, name.c_str());
    ResultChannel::Element element(nullptr, segment.get_deleter<ServerResult>());
    try {
        channel->Take(element, timeoutMs);
    } catch (const Orvo::Interprocess::TimeOutException&) {
        return false;
    }
    answer.pageUrl.assign(element->pageUrl.begin(), element->pageUrl.end());
    answer.detail.assign(element->detail.begin(), element->detail.end());
    answer.body.assign(element->body.begin(), element->body.end());
    answer.snapshotBytes = element->snapshot.size();
    return true;
}

} // namespace OrvoTest
