// The connection's time-out timer: setting an interval of n ms starts a period of n ms
// (the timer stays enabled); setting it to 0 stops it. When the period ends the
// timer stops itself and calls its handler on the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "MainThread.h"

namespace zb {

class OneShotTimer {
public:
    OneShotTimer(MainThread& main, std::function<void()> onTimer);
    ~OneShotTimer();
    OneShotTimer(const OneShotTimer&) = delete;
    OneShotTimer& operator=(const OneShotTimer&) = delete;

    void setInterval(std::uint32_t milliseconds);
    // Starts a period that ends at `deadline`, at once when that has passed; the
    // deadline stays as given.
    void setDeadline(std::chrono::steady_clock::time_point deadline);
    std::uint32_t interval() const { return interval_; }
    bool running() const { return running_ != 0; }
    // When the latest period started ends (or ended); stopping leaves it as it is.
    std::chrono::steady_clock::time_point deadline() const { return deadline_; }

private:
    MainThread& main_;
    std::function<void()> onTimer_;
    std::uint32_t interval_ = 0;
    TimerId running_ = 0;
    std::chrono::steady_clock::time_point deadline_{};
};

}  // namespace zb
