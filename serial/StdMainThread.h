// A main thread made of the standard library alone: an event queue with posted
// calls and one-shot timers. Used by the tests and tools, and to run the serial and
// protocol code without a window toolkit.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "MainThread.h"

namespace zb {

class StdMainThread final : public MainThread {
public:
    using Clock = std::chrono::steady_clock;

    void post(std::function<void()> fn) override;
    void processEvents() override;
    TimerId startTimer(std::chrono::milliseconds period, std::function<void()> fn) override;
    void stopTimer(TimerId id) override;
    void requestTermination() override { terminated_ = true; }
    bool terminationRequested() const override { return terminated_; }
    // The idle handler runs whenever a round of the loop found nothing pending.
    void setIdleHandler(std::function<void()> fn) override { idle_ = std::move(fn); }
    void runEventLoop() override;
    // Records the message instead of showing it; messages() returns them.
    void showMessage(const std::string& text, const std::string& caption) override;

    // Handles events until pred() holds or `limit` has passed; returns pred().
    // For tests: waits for an event with a generous bound instead of sleeping.
    bool processUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit);

    std::vector<std::pair<std::string, std::string>> messages() const { return messages_; }

private:
    struct Timer {
        TimerId id;
        std::function<void()> fn;
    };
    // Runs what is due; returns true when something ran.
    bool runPending();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> posted_;
    std::multimap<Clock::time_point, Timer> timers_;  // main thread only
    TimerId nextTimer_ = 1;
    bool terminated_ = false;
    std::function<void()> idle_;
    std::vector<std::pair<std::string, std::string>> messages_;
};

}  // namespace zb
