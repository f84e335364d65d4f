#include "StdMainThread.h"

#include <utility>

namespace zb {

void StdMainThread::post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(fn));
    }
    wake_.notify_one();
}

bool StdMainThread::runPending() {
    bool ran = false;
    // Timers that are due, earliest first. A handler may start or stop timers.
    while (!timers_.empty() && timers_.begin()->first <= Clock::now()) {
        auto fn = std::move(timers_.begin()->second.fn);
        timers_.erase(timers_.begin());
        runHandler(fn);
        ran = true;
    }
    // Calls posted before this point; later ones wait for the next round so that a
    // call that posts again cannot keep the loop here forever.
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(posted_);
    }
    for (auto& fn : batch) {
        runHandler(fn);
        ran = true;
    }
    return ran;
}

void StdMainThread::runHandler(std::function<void()>& fn) {
    try {
        fn();
    } catch (...) {
        if (nesting_ > 0) {
            // Leaves through the processEvents() call that ran it; should a second
            // handler of the same round fail as well, the first exception travels.
            if (!pending_) pending_ = std::current_exception();
            return;
        }
        // Nobody waits on this level: said, and the program ends rather than go on
        // in an unknown state.
        if (!reporter_) throw;
        reporter_(std::current_exception());
        requestTermination();
    }
}

void StdMainThread::processEvents() {
    struct Nesting {
        int& depth;
        explicit Nesting(int& d) : depth(++d) {}
        ~Nesting() { --depth; }
    } nesting(nesting_);
    waitAndRun();
    if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
}

void StdMainThread::waitAndRun() {
    if (runPending()) return;
    {
        std::unique_lock lock(mutex_);
        auto ready = [this] { return !posted_.empty(); };
        if (timers_.empty()) {
            wake_.wait(lock, ready);
        } else {
            wake_.wait_until(lock, timers_.begin()->first, ready);
        }
    }
    runPending();
}

void StdMainThread::runEventLoop() {
    while (!terminated_) {
        if (runPending()) continue;
        if (idle_) {
            runHandler(idle_);
            if (terminated_) break;
            if (runPending()) continue;
        }
        // At the top level: a handler's exception goes to the reporter here.
        waitAndRun();
    }
}

TimerId StdMainThread::startTimer(std::chrono::milliseconds period, std::function<void()> fn) {
    TimerId id = nextTimer_++;
    timers_.emplace(Clock::now() + period, Timer{id, std::move(fn)});
    return id;
}

void StdMainThread::stopTimer(TimerId id) {
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.id == id) {
            timers_.erase(it);
            return;
        }
    }
}

void StdMainThread::showMessage(const std::string& text, const std::string& caption) {
    messages_.emplace_back(text, caption);
    if (messageSink_) messageSink_(text, caption);
}

bool StdMainThread::processUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    // A guard timer makes processEvents return at the limit even when nothing else
    // happens.
    const auto deadline = Clock::now() + limit;
    TimerId guard = startTimer(limit, [] {});
    while (!pred() && Clock::now() < deadline) processEvents();
    stopTimer(guard);
    return pred();
}

}  // namespace zb
