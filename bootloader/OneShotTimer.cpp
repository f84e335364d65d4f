#include "OneShotTimer.h"

#include <algorithm>

namespace zb {

OneShotTimer::OneShotTimer(MainThread& main, std::function<void()> onTimer)
    : main_(main), onTimer_(std::move(onTimer)) {}

OneShotTimer::~OneShotTimer() { main_.stopTimer(running_); }

void OneShotTimer::setInterval(std::uint32_t milliseconds) {
    main_.stopTimer(running_);
    running_ = 0;
    interval_ = milliseconds;
    if (milliseconds == 0) return;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    running_ = main_.startTimer(std::chrono::milliseconds(milliseconds), [this] {
        running_ = 0;
        onTimer_();
    });
}

void OneShotTimer::setDeadline(std::chrono::steady_clock::time_point deadline) {
    main_.stopTimer(running_);
    const auto left = std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()),
                               std::chrono::milliseconds(0));
    interval_ = static_cast<std::uint32_t>(std::max<std::int64_t>(left.count(), 1));
    deadline_ = deadline;
    running_ = main_.startTimer(left, [this] {
        running_ = 0;
        onTimer_();
    });
}

}  // namespace zb
