// The updater's side of the window program: a window that stops reading never
// holds the updater up. This test lies beside the window program, where the
// updater looks for it.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// A field of /proc/PID/status ("SigIgn", say); empty once the process has gone.
std::string statusField(pid_t pid, const std::string& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(name + ":")) return line.substr(name.size() + 1);
    }
    return {};
}

bool ignores(pid_t pid, int signal) {
    const std::string mask = statusField(pid, "SigIgn");
    return !mask.empty() && ((std::stoull(mask, nullptr, 16) >> (signal - 1)) & 1) != 0;
}

TEST(WindowProcess, ACallerIgnoringSigchldPassesTheIgnoreOnToNeitherProcess) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::signal(SIGCHLD, SIG_IGN);
    auto window = std::make_unique<WindowProcess>(std::vector<std::string>{});
    const pid_t pid = window->pid();
    ASSERT_GT(pid, 0) << "no window program";
    EXPECT_FALSE(ignores(::getpid(), SIGCHLD)) << "the updater still ignores SIGCHLD";
    EXPECT_FALSE(ignores(pid, SIGCHLD)) << "the window program inherited the ignore";
    // The window program dies early: its process stays the updater's child, so that
    // its id names nobody else, until the end reaps it. Ignored, the system would
    // have reaped it at once.
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::string state;
    while ((state = statusField(pid, "State")).find("Z") == std::string::npos && !state.empty() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_NE(state.find("Z (zombie)"), std::string::npos) << "state: \"" << state << "\"";
    window.reset();
    EXPECT_EQ(statusField(pid, "State"), "") << "not reaped at the end";
    ::signal(SIGCHLD, SIG_DFL);
}

// The end against a window program held in the kernel, which no unprivileged test
// can make of a real one: the real child runs, the calls report it running whatever
// is sent to it, and the signals are only noted.
struct EndCalls {
    std::vector<int> signals;
    pid_t reapAnswer = 0;
    ChildCalls calls() {
        return {.kill = [this](pid_t, int signal) { signals.push_back(signal); return 0; },
                .reap = [this](pid_t) {
                    if (reapAnswer < 0) errno = ECHILD;
                    return reapAnswer;
                }};
    }
};

void endForReal(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

TEST(WindowProcess, TheEndIsBoundedAndSignalsOnlyAChildStillItsOwn) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    {
        // Outlives its kill: the end gives up and leaves it to the system.
        EndCalls never;
        auto window = std::make_unique<WindowProcess>(std::vector<std::string>{}, never.calls());
        const pid_t pid = window->pid();
        ASSERT_GT(pid, 0) << "no window program";
        window->show();
        std::promise<void> ended;
        std::future<void> endedFuture = ended.get_future();
        std::thread([&window, &ended] {
            window.reset();
            ended.set_value();
        }).detach();
        if (endedFuture.wait_for(30s) != std::future_status::ready) {
            ADD_FAILURE() << "the end waited for a window program that never goes";
            std::_Exit(1);  // the thread is still in the end
        }
        EXPECT_EQ(never.signals, std::vector<int>{SIGKILL}) << "one kill, then it is left alone";
        endForReal(pid);
    }
    {
        // Reaped behind the updater's back already (its id may be another's now): no
        // signal at all, also for a window never shown, which is killed at once.
        EndCalls gone;
        gone.reapAnswer = -1;
        auto window = std::make_unique<WindowProcess>(std::vector<std::string>{}, gone.calls());
        const pid_t pid = window->pid();
        ASSERT_GT(pid, 0) << "no window program";
        window.reset();
        EXPECT_TRUE(gone.signals.empty()) << gone.signals.size() << " signals sent";
        endForReal(pid);
    }
}

}  // namespace
}  // namespace zb
