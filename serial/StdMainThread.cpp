#include "StdMainThread.h"

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
        fn();
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
        fn();
        ran = true;
    }
    return ran;
}

void StdMainThread::processEvents() {
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
            idle_();
            if (terminated_) break;
            if (runPending()) continue;
        }
        processEvents();
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
