// Time base of the emulator: every event carries a steady-clock time point.
#pragma once

#include <chrono>

namespace zb::devsim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Duration = Clock::duration;

}  // namespace zb::devsim
