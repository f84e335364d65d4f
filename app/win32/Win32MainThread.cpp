#include "Win32MainThread.h"

// Before <windows.h>, whose macros would rename their functions.
#include "HostPlatform.h"
#include "MainWindowCode.h"
#include "Win32Text.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <timeapi.h>

#include <exception>
#include <stdexcept>
#include <vector>


namespace zb {


Win32MainThread::Win32MainThread() : wake_(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    if (wake_ == nullptr) throw std::runtime_error("cannot create the main thread's event");
    periodRaised_ = ::timeBeginPeriod(1) == TIMERR_NOERROR;
}

Win32MainThread::~Win32MainThread() {
    if (periodRaised_) ::timeEndPeriod(1);
    ::CloseHandle(wake_);
}

void Win32MainThread::post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(fn));
    }
    ::SetEvent(wake_);
}

bool Win32MainThread::dispatchMessages() {
    bool handled = false;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        handled = true;
        if (msg.message == WM_QUIT) {
            terminated_ = true;
            continue;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return handled;
}

bool Win32MainThread::runDueTimers() {
    bool ran = false;
    // Earliest first; a handler may start or stop timers, and may process events.
    while (!timers_.empty() && timers_.begin()->first.first <= Clock::now()) {
        auto node = timers_.extract(timers_.begin());
        deadlines_.erase(node.key().second);
        ran = true;
        node.mapped()();
    }
    return ran;
}

bool Win32MainThread::runPostedCalls() {
    // The calls posted before this point, one at a time from the front, so that a
    // call that processes events itself keeps the order; calls posted meanwhile wait
    // for the next round, so that a call that posts again cannot hold the loop here.
    std::size_t count = 0;
    {
        std::lock_guard lock(mutex_);
        count = posted_.size();
    }
    for (std::size_t i = 0; i < count; ++i) {
        std::function<void()> fn;
        {
            std::lock_guard lock(mutex_);
            if (posted_.empty()) break;
            fn = std::move(posted_.front());
            posted_.pop_front();
        }
        fn();
    }
    return count > 0;
}

bool Win32MainThread::handlePending() {
    bool handled = dispatchMessages();
    handled = runDueTimers() || handled;
    handled = runPostedCalls() || handled;
    return handled;
}

void Win32MainThread::processEvents() {
    if (handlePending()) return;
    DWORD timeout = INFINITE;
    if (!timers_.empty()) {
        const auto left = timers_.begin()->first.first - Clock::now();
        // Rounded up: waking before the deadline would only mean waiting again.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        timeout = ms <= 0 ? 0 : static_cast<DWORD>(ms);
    }
    HANDLE wake = wake_;
    const DWORD woke = ::MsgWaitForMultipleObjectsEx(1, &wake, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    // Woken by a posted call, such as a reply handed over by the receive watcher:
    // that call first, since the next command waits for it. Looking into the
    // message queue first would put a round trip to the window system (under Wine,
    // to its server) between every reply and the next command. The window's
    // messages wait for the next round, which comes as soon as that command is out.
    if (woke == WAIT_OBJECT_0 && runPostedCalls()) return;
    handlePending();
}

TimerId Win32MainThread::startTimer(std::chrono::milliseconds period, std::function<void()> fn) {
    const TimerId id = nextTimer_++;
    const auto deadline = Clock::now() + period;
    timers_.emplace(TimerKey{deadline, id}, std::move(fn));
    deadlines_.emplace(id, deadline);
    return id;
}

void Win32MainThread::stopTimer(TimerId id) {
    const auto found = deadlines_.find(id);
    if (found == deadlines_.end()) return;
    timers_.erase(TimerKey{found->second, id});
    deadlines_.erase(found);
}

void Win32MainThread::runEventLoop() {
    while (!terminated_) {
        try {
            if (handlePending()) continue;
            if (idle_) {
                idle_();
                if (terminated_) break;
                if (handlePending()) continue;
            }
            processEvents();
        } catch (...) {
            // Nobody waits at this level: say what happened and end the program rather
            // than go on in an unknown state. No result text is written for it.
            ReportEscapedException(std::current_exception());
            terminated_ = true;
        }
    }
}

void Win32MainThread::showMessage(const std::string& text, const std::string& caption) {
    ::MessageBoxW(nullptr, widen(text).c_str(), widen(caption).c_str(), MB_OK | MB_TASKMODAL | MB_SETFOREGROUND);
}

}  // namespace zb
