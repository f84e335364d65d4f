#include "OneShotTimer.h"

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

}  // namespace zb
