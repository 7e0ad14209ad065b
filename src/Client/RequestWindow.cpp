#include "Client/RequestWindow.h"

#include <algorithm>
#include <thread>


#include "Client/SegmentFull.h"
#include "Client/WorkerUnavailable.h"

namespace Orvo {
namespace Browser {
namespace Client {

RequestWindow::RequestWindow(int capacity, Factory factory) : capacity(capacity), factory(std::move(factory)) {}

RequestWindow::~RequestWindow() {
    Abandon();
    EndWorker(client.get());
    for (Replaced& worker : replaced) {
        EndWorker(worker.client.get());
    }
}

bool RequestWindow::Replace(std::string& error) {
    if (client && Holds(client.get()) && client->GetWorker().IsAlive()) {
        replaced.push_back(Replaced{std::move(client), Clock::now(), false});
    } else {
        EndWorker(client.get());
    }
    client.reset();
    ended = false;
    try {
        client = factory();
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

bool RequestWindow::Retiring() {
    return client && client->GetWorker().IsAlive() && (ended || !client->GetWorker().IsReady());
}

bool RequestWindow::NeedsWorker() {
    return !client || ended || !client->GetWorker().IsReady();
}

bool RequestWindow::TakeResend(std::size_t& tag, int& attempts) {
    if (resends.empty()) {
        return false;
    }
    tag = resends.front().first;
    attempts = resends.front().second;
    resends.pop_front();
    return true;
}

bool RequestWindow::Send(std::size_t tag, const std::string& url, const Request::Options& options,
                         Clock::time_point deadline, int attempts) {
    try {
        Outstanding request{tag,      client.get(), client->Submit(url, options), Clock::now(), deadline,
                            client->GetWorker().Pid(), attempts + 1};
        outstanding.push_back(std::move(request));
        pause = Client::FirstLook;
        return true;
    } catch (const WorkerUnavailable&) {
        resends.emplace_front(tag, attempts);
        ended = true;
        return false;
    } catch (const SegmentFull&) {
        // Room comes back as the worker takes what this window sent it.
        if (outstanding.empty()) {
            throw;
        }
        resends.emplace_front(tag, attempts);
        return false;
    }
}

bool RequestWindow::TakeAny(Settled& settled, int graceMs, bool final) {
    SweepReplaced();
    if (TakeAnswered(settled, graceMs, final)) {
        pause = Client::FirstLook;
        return true;
    }
    if (!outstanding.empty()) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, Client::LastLook);
    }
    return false;
}

// One look at each request, none waited for: a request answered while
// another is looked at is seen in the same pass or the next.
bool RequestWindow::TakeAnswered(Settled& settled, int graceMs, bool final) {
    for (std::size_t k = 0; k < outstanding.size();) {
        Outstanding& request = outstanding[k];
        Result result = request.client->Collect(*request.pending, 0);
        if (result.outcome == Outcome::TimedOut
            && Clock::now() < request.deadline + std::chrono::milliseconds(graceMs)) {
            ++k;
            continue;
        }
        Outstanding answered = std::move(request);
        outstanding.erase(outstanding.begin() + static_cast<std::ptrdiff_t>(k));
        const bool lost = result.outcome == Outcome::Dead || result.outcome == Outcome::WorkerGone;
        if (lost) {
            ended = ended || answered.client == client.get();
            if (answered.attempts < MaxAttempts && !final) {
                resends.emplace_back(answered.tag, answered.attempts);
                continue;
            }
        }
        settled.tag = answered.tag;
        settled.result = std::move(result);
        settled.attempts = answered.attempts;
        settled.ms = std::chrono::duration<double, std::milli>(Clock::now() - answered.sent).count();
        settled.pid = answered.pid;
        settled.pending = std::move(answered.pending);
        return true;
    }
    return false;
}

std::vector<std::size_t> RequestWindow::Abandon() {
    std::vector<std::size_t> tags;
    for (const Outstanding& request : outstanding) {
        tags.push_back(request.tag);
    }
    for (const auto& resend : resends) {
        tags.push_back(resend.first);
    }
    outstanding.clear();
    resends.clear();
    return tags;
}

bool RequestWindow::Holds(const Client* holder) const {
    return std::any_of(outstanding.begin(), outstanding.end(),
                       [holder](const Outstanding& request) { return request.client == holder; });
}

void RequestWindow::SweepReplaced() {
    for (std::size_t k = 0; k < replaced.size();) {
        Replaced& worker = replaced[k];
        const bool holds = Holds(worker.client.get());
        if (!holds && !worker.client->GetWorker().IsAlive()) {
            replaced.erase(replaced.begin() + static_cast<std::ptrdiff_t>(k));
            continue;
        }
        if (!worker.quiet && !holds) {
            worker.quiet = true;
            worker.quietSince = Clock::now();
        }
        if (worker.quiet && Clock::now() > worker.quietSince + std::chrono::milliseconds(EndWaitMs)) {
            EndWorker(worker.client.get());
        }
        ++k;
    }
}

// A worker this window started is ended and waited for, so that nothing of
// it remains: the client removes what it leaves.
void RequestWindow::EndWorker(Client* client) {
    if (client) {
        client->GetWorker().End(EndWaitMs);
    }
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
