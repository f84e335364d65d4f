// The program's main thread on Windows, run by the Win32 message loop: window
// messages, posted calls, precise one-shot timers, the termination request, the
// idle handler and the message box of the serial code.
//
// Create it on the main thread and let it outlive every object that posts to it
// (the port component's receive watcher posts from its own thread until the port
// is shut down).
//
// Posted calls and timers are run by this object itself, not through a window
// procedure, so an exception from one of them leaves the processEvents() call that
// ran it, as if the handler had been called there. At the top level of the loop
// it is written to standard error and termination is requested.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "MainThread.h"

namespace zb {

class Win32MainThread final : public MainThread {
public:
    using Clock = std::chrono::steady_clock;

    Win32MainThread();
    ~Win32MainThread() override;
    Win32MainThread(const Win32MainThread&) = delete;
    Win32MainThread& operator=(const Win32MainThread&) = delete;

    void post(std::function<void()> fn) override;
    // Handles the window messages, due timers and posted calls that are pending;
    // when none is, waits in the message wait (no processor time) until the next
    // one arrives, and handles it.
    void processEvents() override;
    // Fires within about a millisecond of `period`: the system's timer resolution is
    // raised to 1 ms for the life of this object (a plain window timer would round
    // to the system tick, about 16 ms).
    TimerId startTimer(std::chrono::milliseconds period, std::function<void()> fn) override;
    void stopTimer(TimerId id) override;
    void requestTermination() override { terminated_ = true; }
    bool terminationRequested() const override { return terminated_; }
    // Runs whenever a round of the loop found nothing pending.
    void setIdleHandler(std::function<void()> fn) override { idle_ = std::move(fn); }
    void runEventLoop() override;
    // A modal box of the application (task-modal), one OK button, no icon. The
    // texts are UTF-8.
    void showMessage(const std::string& text, const std::string& caption) override;

    // Number of timers started and not yet fired or stopped.
    std::size_t activeTimers() const { return deadlines_.size(); }

private:
    // Handles what is pending now; true when something was handled.
    bool handlePending();
    bool dispatchMessages();
    bool runDueTimers();
    bool runPostedCalls();

    using TimerKey = std::pair<Clock::time_point, TimerId>;
    std::map<TimerKey, std::function<void()>> timers_;   // main thread only
    std::map<TimerId, Clock::time_point> deadlines_;
    TimerId nextTimer_ = 1;

    std::mutex mutex_;
    std::deque<std::function<void()>> posted_;  // guarded by mutex_
    void* wake_;                                // event, signalled by post()
    bool periodRaised_ = false;

    bool terminated_ = false;
    std::function<void()> idle_;
};

}  // namespace zb
