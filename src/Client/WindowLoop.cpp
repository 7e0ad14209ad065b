#include "Client/WindowLoop.h"

#include <exception>
#include <utility>

namespace Orvo {
namespace Browser {
namespace Client {

WindowLoop::WindowLoop(RequestWindow::Factory factory, int capacity, int graceMs, Source& source)
    : factory(std::move(factory)), capacity(capacity), graceMs(graceMs), source(source) {}

void WindowLoop::Run() {
    window.reset(new RequestWindow(capacity, factory));
    while (!source.Stopped()) {
        if (window->Idle() && !window->HasResend()) {
            if (!source.More()) {
                break;
            }
            if (window->Usable()) {
                source.Await();
            }
            if (source.Stopped()) {
                break;
            }
        }
        const bool workLeft = window->HasResend() || source.More();
        if ((window->Retiring() && workLeft) || (window->Idle() && window->NeedsWorker())) {
            Replace();
        }
        Fill();
        if (!window->Idle()) {
            Collect();
        }
    }
    Drain();
    window.reset();
}

// A fresh worker; the one it replaces answers what it holds meanwhile.
void WindowLoop::Replace() {
    const bool had = window->GetClient() != nullptr;
    const bool retiring = window->Retiring();
    std::string error;
    if (window->Replace(error)) {
        ready = true;
        replaced += had ? 1 : 0;
        recycled += retiring ? 1 : 0;
        return;
    }
    ready = false;
    if (source.NoWorker(error)) {
        FailNext(error);
    }
}

// Sends tasks, those lost with a worker first, until the window is full or
// no task waits.
void WindowLoop::Fill() {
    while (window->Usable() && !window->Full()) {
        std::size_t tag = 0;
        int attempts = 0;
        Task task;
        if (window->TakeResend(tag, attempts)) {
            if (!source.Again(tag, task)) {
                continue;
            }
        } else if (!source.Take(tag, task)) {
            return;
        }
        try {
            const bool sent = window->Send(tag, task.url, task.options, task.deadline, attempts);
            busy = !window->Idle();
            if (!sent) {
                return;
            }
        } catch (const std::exception& e) {
            source.Fail(tag, attempts, Result::Unanswered(task.url, Outcome::Failed, e.what()));
        }
    }
}

void WindowLoop::FailNext(const std::string& error) {
    std::size_t tag = 0;
    int attempts = 0;
    Task task;
    const bool next = window->TakeResend(tag, attempts) ? source.Again(tag, task) : source.Take(tag, task);
    if (next) {
        source.Fail(tag, attempts, Result::Unanswered(task.url, Outcome::WorkerGone, error));
    }
}

// Settles the first request answered or past its grace, after one look at
// each. The busy flag is set first, so that whoever hears of the result
// sees the worker idle when it is.
void WindowLoop::Collect() {
    RequestWindow::Settled settled;
    const bool taken = window->TakeAny(settled, graceMs, false);
    busy = !window->Idle();
    if (taken) {
        source.Settle(settled);
    }
}

// Settles what is already answered, nothing sent again, and gives up the
// rest.
void WindowLoop::Drain() {
    RequestWindow::Settled settled;
    while (!window->Idle() && window->TakeAny(settled, graceMs, true)) {
        source.Settle(settled);
    }
    for (const std::size_t tag : window->Abandon()) {
        source.GiveUp(tag);
    }
    busy = false;
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
