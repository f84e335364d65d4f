// What the toolkit-free code needs of the program's main (UI) thread.
//
// The program implements this with its window toolkit; StdMainThread (beside this
// file) is a small standard-library implementation for tests and tools.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace zb {

using TimerId = std::uint64_t;

class MainThread {
public:
    virtual ~MainThread() = default;

    // Any thread. Queues fn to run on the main thread the next time it processes
    // events. Calls posted from one thread run in the order they were posted.
    virtual void post(std::function<void()> fn) = 0;

    // Main thread. Handles every pending event (posted calls, due timers, repaints);
    // when none is pending, blocks until the next one arrives and handles it.
    // Never spins: a caller looping on this uses no processor time while nothing happens.
    virtual void processEvents() = 0;

    // Main thread. Starts a one-shot timer that calls fn on the main thread after
    // `period` (with the resolution of the toolkit's timers). Returns an id that
    // is never 0.
    virtual TimerId startTimer(std::chrono::milliseconds period, std::function<void()> fn) = 0;
    // Main thread. Stops a timer that has not fired yet; after this its function is
    // never called. Stopping 0, a fired or an unknown timer does nothing.
    virtual void stopTimer(TimerId id) = 0;

    // Main thread. Sets the terminated state at once: terminationRequested() is true
    // from now on, and the event loop ends when control returns to its top level.
    // Code that is running is not interrupted.
    virtual void requestTermination() = 0;
    virtual bool terminationRequested() const = 0;

    // Main thread. Installs the idle handler: the event loop calls it at its first
    // idle moment, when everything pending has been handled, and may call it again
    // at later idle moments; the handler guards against a second start itself.
    virtual void setIdleHandler(std::function<void()> fn) = 0;
    // Main thread. Runs the event loop, with the idle handler, until termination is
    // requested; returns at once when termination was requested before.
    virtual void runEventLoop() = 0;

    // Main thread. A modal message with one OK button and no icon.
    virtual void showMessage(const std::string& text, const std::string& caption) = 0;
};

}  // namespace zb
