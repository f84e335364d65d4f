// QtMainThread: the program's main thread on Qt's event loop: posted calls, one-shot
// timers, the termination request, the idle handler and the message box of the
// serial code.
//
// Create it on the main thread after the QApplication, and let it outlive every
// object that posts to it (the port component's receive watcher posts from its own
// thread until the port is shut down).
//
// Exceptions: Qt cannot carry an exception through its event loop, so every handler
// that runs from the loop (posted calls, timers, the idle handler, the window's own
// handlers through runHandler) is run inside a catch. When the handler ran inside a
// processEvents() call, the exception is rethrown from that call, so it leaves the
// code that waited, as if the handler had been called there; when it ran at the top
// level of the loop, it is written to standard error and termination is requested.
#pragma once

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include <QObject>

#include "MainThread.h"

namespace zb {

class QtMainThread final : public MainThread {
public:
    QtMainThread();
    ~QtMainThread() override;
    QtMainThread(const QtMainThread&) = delete;
    QtMainThread& operator=(const QtMainThread&) = delete;

    void post(std::function<void()> fn) override;
    void processEvents() override;
    TimerId startTimer(std::chrono::milliseconds period, std::function<void()> fn) override;
    void stopTimer(TimerId id) override;
    void requestTermination() override;
    bool terminationRequested() const override { return terminated_; }
    // A modal box with one OK button and no icon. On a platform without a screen
    // (offscreen, minimal) nobody could close it and an unattended run would hang,
    // so there the message goes to standard error instead.
    void showMessage(const std::string& text, const std::string& caption) override;

    // The handler that runEventLoop calls once the loop first has nothing to do.
    void setIdleHandler(std::function<void()> fn) override { idle_ = std::move(fn); }
    // Runs the application's event loop until termination is requested. Returns at
    // once, without entering the loop, when termination was requested before.
    void runEventLoop() override;
    // Runs fn as an event handler, under the exception rule above.
    void runHandler(const std::function<void()>& fn);

private:
    // The tests look at the timer table; defined by the tests only.
    friend struct QtMainThreadTestAccess;

    class Context;
    struct Timer {
        TimerId id;
        std::function<void()> fn;
    };
    void timerFired(int qtId);
    void endWait();
    void handlerFailed(std::exception_ptr error);

    std::unique_ptr<Context> context_;
    std::map<int, Timer> timers_;             // by Qt's timer id
    std::map<TimerId, int> qtIds_;            // Qt's timer id by ours
    TimerId nextTimer_ = 1;
    bool terminated_ = false;
    int nesting_ = 0;                         // processEvents() calls in progress
    std::exception_ptr pending_;              // to be rethrown by processEvents()
    std::function<void()> idle_;
};

}  // namespace zb
