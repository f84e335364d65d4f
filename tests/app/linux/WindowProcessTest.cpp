// The updater's side of the window program: a window that stops reading never
// holds the updater up. This test lies beside the window program, where the
// updater looks for it.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "TCGauge.h"
#include "WindowProcess.h"

namespace zb {
namespace {

using namespace std::chrono_literals;

TEST(WindowProcess, AWindowThatStopsReadingNeverHoldsTheUpdaterUp) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto window = std::make_unique<WindowProcess>(std::vector<std::string>{});
    ASSERT_GT(window->pid(), 0) << "no window program";
    window->show();
    ASSERT_EQ(::kill(window->pid(), SIGSTOP), 0);
    // Far more than the pipe holds, from another thread, so that a write that waited
    // for the stopped window fails the test instead of hanging it.
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread([&window, &done] {
        TCGauge gauge;
        SetUpRunGauge(gauge, GaugeColor{240, 240, 240});
        gauge.SetMaxValue(100000);
        for (int i = 1; i <= 100000; ++i) {
            window->setStatusPanel(1, "Write address: " + std::to_string(i) + std::string(64, '.'));
            gauge.SetProgress(i);
            window->redrawGauge(gauge);
        }
        done.set_value();
    }).detach();
    if (finished.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "an update waited for the window";
        std::_Exit(1);  // the thread is stuck in the pipe and still uses the window
    }
    // A stopped window is not waited for at the end either.
    const auto start = std::chrono::steady_clock::now();
    window.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

}  // namespace
}  // namespace zb
