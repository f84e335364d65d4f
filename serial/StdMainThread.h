// A main thread made of the standard library alone: an event queue with posted
// calls and one-shot timers. The Linux program's main thread (its window lives in a
// process of its own), and the tests' and tools'.
//
// Exceptions: every handler that runs from the loop (posted calls, timers, the idle
// handler) is run inside a catch. When the handler ran inside a processEvents()
// call, the exception is rethrown from that call once the round is done, so it
// leaves the code that waited, as if the handler had been called there. When it ran
// at the top level of the loop, it goes to the reporter, if one is set, and
// termination is requested; without a reporter it leaves runEventLoop().
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
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
    // Records the message and hands it to the message sink, if one is set; it never
    // waits for anybody. messages() returns them.
    void showMessage(const std::string& text, const std::string& caption) override;
    void setMessageSink(std::function<void(const std::string& text, const std::string& caption)> sink) {
        messageSink_ = std::move(sink);
    }
    void setExceptionReporter(std::function<void(std::exception_ptr)> report) { reporter_ = std::move(report); }

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
    // Runs fn as an event handler, under the exception rule above.
    void runHandler(std::function<void()>& fn);
    // processEvents() without the exception rule's rethrow.
    void waitAndRun();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> posted_;
    std::multimap<Clock::time_point, Timer> timers_;  // main thread only
    TimerId nextTimer_ = 1;
    bool terminated_ = false;
    std::function<void()> idle_;
    std::vector<std::pair<std::string, std::string>> messages_;
    std::function<void(const std::string&, const std::string&)> messageSink_;
    std::function<void(std::exception_ptr)> reporter_;
    int nesting_ = 0;             // processEvents() calls in progress
    std::exception_ptr pending_;  // to be rethrown by processEvents()
};

}  // namespace zb
