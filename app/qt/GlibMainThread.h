// GlibMainThread: the program's main thread on Linux, on GLib's default main
// context: posted calls, one-shot timers, the termination request and the idle
// handler.
//
// Qt's event dispatcher on Linux waits on that same default context, so once the
// window's toolkit has been loaded (which the program does only when the run holds
// the line in break), the waits here also handle the window's events, and Qt's own
// waits (a message box) handle the run's posted calls and timers. Until then the
// program has no toolkit loaded at all, and its first bytes go out on the line
// without waiting for one to load.
//
// Create it on the main thread, before anything posts to it, and let it outlive
// every object that posts to it (the port component's receive watcher posts from
// its own thread until the port is shut down).
//
// Exceptions: every handler that runs from the loop (posted calls, timers, the idle
// handler, the window's own handlers through runHandler) is run inside a catch.
// When the handler ran inside a processEvents() call, the exception is rethrown
// from that call, so it leaves the code that waited, as if the handler had been
// called there; when it ran at the top level of the loop, it is written to standard
// error and termination is requested.
#pragma once

#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "MainThread.h"

struct _GSource;

namespace zb {

class GlibMainThread final : public MainThread {
public:
    // Shows a message box; returns false when none can be shown (no window, no
    // screen), and the message then goes to standard error.
    using MessageBox = std::function<bool(const std::string& text, const std::string& caption)>;

    GlibMainThread();
    ~GlibMainThread() override;
    GlibMainThread(const GlibMainThread&) = delete;
    GlibMainThread& operator=(const GlibMainThread&) = delete;

    void post(std::function<void()> fn) override;
    void processEvents() override;
    TimerId startTimer(std::chrono::milliseconds period, std::function<void()> fn) override;
    void stopTimer(TimerId id) override;
    void requestTermination() override { terminated_ = true; }
    bool terminationRequested() const override { return terminated_; }
    void showMessage(const std::string& text, const std::string& caption) override;
    void setMessageBox(MessageBox box) { messageBox_ = std::move(box); }

    // The handler that runEventLoop calls once the loop first has nothing to do.
    void setIdleHandler(std::function<void()> fn) override { idle_ = std::move(fn); }
    // Runs the loop until termination is requested. Returns at once, without
    // entering the loop, when termination was requested before.
    void runEventLoop() override;
    // Runs fn as an event handler, under the exception rule above.
    void runHandler(const std::function<void()>& fn);

    // Timers started and not yet fired or stopped.
    std::size_t activeTimers() const { return timers_.size(); }

private:
    struct PostedSource;
    struct TimerCall;

    // Runs the calls that were queued when the dispatch began, one at a time, so
    // that a wait inside one of them goes on with the next in posting order.
    void runPosted();
    void timerFired(TimerId id);
    void handlerFailed(std::exception_ptr error);

    _GSource* posted_ = nullptr;
    _GSource* idleSource_ = nullptr;           // until the idle handler has run
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> queue_;  // guarded by mutex_
    struct Timer {
        _GSource* source;
        std::function<void()> fn;
    };
    std::map<TimerId, Timer> timers_;          // the running timers
    TimerId nextTimer_ = 1;
    bool terminated_ = false;
    int nesting_ = 0;                          // processEvents() calls in progress
    std::exception_ptr pending_;               // to be rethrown by processEvents()
    std::function<void()> idle_;
    MessageBox messageBox_;
};

}  // namespace zb
