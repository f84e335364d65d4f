// The program's main thread on Linux: waits that block instead of spinning, timers
// that never fire early, calls posted from other threads, the termination request
// and exceptions that leave handlers.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "GlibMainThread.h"

namespace zb {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Processes events until `done` holds; returns the number of processEvents() calls.
// A guard timer ends a wait that would otherwise hang the test.
int processUntil(GlibMainThread& main, const std::function<bool()>& done) {
    bool expired = false;
    const TimerId guard = main.startTimer(20s, [&expired] { expired = true; });
    int rounds = 0;
    while (!done() && !expired) {
        main.processEvents();
        ++rounds;
    }
    main.stopTimer(guard);
    EXPECT_FALSE(expired) << "gave up waiting";
    return rounds;
}

TEST(GlibMainThread, WaitingForATimerBlocksInsteadOfSpinning) {
    GlibMainThread main;
    bool fired = false;
    main.startTimer(300ms, [&fired] { fired = true; });
    const int rounds = processUntil(main, [&fired] { return fired; });
    // A blocking wait needs a handful of rounds; a spinning one needs thousands.
    EXPECT_LT(rounds, 20);
}

TEST(GlibMainThread, TimersNeverFireEarly) {
    // The connection's break is one timer period: a timer that fires early
    // shortens it.
    GlibMainThread main;
    for (int i = 0; i < 5; ++i) {
        bool fired = false;
        const auto start = Clock::now();
        main.startTimer(200ms, [&fired] { fired = true; });
        processUntil(main, [&fired] { return fired; });
        EXPECT_GE(Clock::now() - start, 200ms) << "round " << i;
    }
}

TEST(GlibMainThread, TimerFiresOnceAndAStoppedTimerNever) {
    GlibMainThread main;
    int first = 0;
    int stopped = 0;
    bool last = false;
    main.startTimer(10ms, [&first] { ++first; });
    const TimerId cancel = main.startTimer(20ms, [&stopped] { ++stopped; });
    main.stopTimer(cancel);
    main.stopTimer(cancel);  // twice does nothing
    main.stopTimer(0);
    main.startTimer(80ms, [&last] { last = true; });
    processUntil(main, [&last] { return last; });
    EXPECT_EQ(first, 1);
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(main.activeTimers(), 0u);
}

TEST(GlibMainThread, CallsPostedFromAnotherThreadRunOnTheMainThreadInOrder) {
    GlibMainThread main;
    constexpr int kCalls = 2000;
    std::vector<int> order;
    bool otherThread = false;
    const auto mainId = std::this_thread::get_id();
    std::thread poster([&] {
        for (int i = 0; i < kCalls; ++i)
            main.post([&, i] {
                order.push_back(i);
                if (std::this_thread::get_id() != mainId) otherThread = true;
            });
    });
    processUntil(main, [&order] { return order.size() == kCalls; });
    poster.join();
    ASSERT_EQ(order.size(), static_cast<std::size_t>(kCalls));
    for (int i = 0; i < kCalls; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(otherThread);
}

TEST(GlibMainThread, PostFromAnotherThreadWakesABlockedWait) {
    GlibMainThread main;
    std::atomic<bool> waiting{false};
    bool ran = false;
    std::thread poster([&] {
        // Posts only once the main thread is about to block; the wait has no timer
        // of its own to wake it, only the guard of processUntil.
        while (!waiting.load()) std::this_thread::yield();
        std::this_thread::sleep_for(50ms);
        main.post([&ran] { ran = true; });
    });
    waiting = true;
    const auto start = Clock::now();
    processUntil(main, [&ran] { return ran; });
    poster.join();
    EXPECT_TRUE(ran);
    EXPECT_LT(Clock::now() - start, 10s);  // woken by the post, not by the guard
}

TEST(GlibMainThread, TerminationBeforeTheLoopSkipsItAndTheIdleHandler) {
    GlibMainThread main;
    bool idle = false;
    main.setIdleHandler([&idle] { idle = true; });
    main.requestTermination();
    EXPECT_TRUE(main.terminationRequested());
    main.runEventLoop();  // returns at once instead of waiting for ever
    EXPECT_FALSE(idle);
}

TEST(GlibMainThread, IdleHandlerRunsOnceAndTerminationInsideAWaitEndsTheLoop) {
    GlibMainThread main;
    int idleRuns = 0;
    bool laterTimer = false;
    main.setIdleHandler([&] {
        ++idleRuns;
        // A wait inside the handler, as the update run does; the loop ends only
        // when the handler has returned.
        bool fired = false;
        main.startTimer(20ms, [&] {
            fired = true;
            main.requestTermination();
        });
        while (!fired) main.processEvents();
        EXPECT_TRUE(main.terminationRequested());
        main.startTimer(1ms, [&laterTimer] { laterTimer = true; });
        // Requested termination does not stop further waits from working.
        while (!laterTimer) main.processEvents();
    });
    main.runEventLoop();
    EXPECT_EQ(idleRuns, 1);
    EXPECT_TRUE(laterTimer);
}

TEST(GlibMainThread, ExceptionInAHandlerLeavesThroughTheWaitThatRanIt) {
    GlibMainThread main;
    bool expired = false;
    const TimerId guard = main.startTimer(20s, [&expired] { expired = true; });
    main.startTimer(1ms, [] { throw std::runtime_error("handler failed"); });
    EXPECT_THROW(
        {
            while (!expired) main.processEvents();
        },
        std::runtime_error);
    main.stopTimer(guard);
    EXPECT_FALSE(expired);
    // The waiting code decides what follows; nothing has been ended for it.
    EXPECT_FALSE(main.terminationRequested());
    // The exception is gone with the wait: the next wait works normally.
    bool fired = false;
    main.startTimer(1ms, [&fired] { fired = true; });
    EXPECT_NO_THROW(processUntil(main, [&fired] { return fired; }));
}

TEST(GlibMainThread, ExceptionAtTheTopOfTheLoopEndsTheProgramWithAMessage) {
    GlibMainThread main;
    main.setIdleHandler([] { throw std::logic_error("idle failed"); });
    testing::internal::CaptureStderr();
    main.runEventLoop();  // must return: the exception ends the loop
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(main.terminationRequested());
    EXPECT_NE(err.find("idle failed"), std::string::npos) << err;
}

TEST(GlibMainThread, MessageWithoutAMessageBoxGoesToStandardError) {
    GlibMainThread main;
    testing::internal::CaptureStderr();
    main.showMessage("Ich kann COMM nicht schließen!", "Fehler");  // must not block
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Fehler"), std::string::npos);
    EXPECT_NE(err.find("Ich kann COMM nicht schließen!"), std::string::npos);
}

}  // namespace
}  // namespace zb
