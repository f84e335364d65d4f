// The program's main thread on Linux: waits that block instead of spinning, timers
// that never fire early, calls posted from other threads, the termination request,
// exceptions that leave handlers, and a message that nobody waits for.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "StdMainThread.h"

namespace zb {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Processes events until `done` holds; returns the number of processEvents() calls.
// A guard timer ends a wait that would otherwise hang the test.
int processUntil(StdMainThread& main, const std::function<bool()>& done) {
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

TEST(StdMainThread, WaitingForATimerBlocksInsteadOfSpinning) {
    StdMainThread main;
    bool fired = false;
    main.startTimer(300ms, [&fired] { fired = true; });
    const int rounds = processUntil(main, [&fired] { return fired; });
    // A blocking wait needs a handful of rounds; a spinning one needs thousands.
    EXPECT_LT(rounds, 20);
}

TEST(StdMainThread, TimersNeverFireEarly) {
    // The connection's break is one timer period: a timer that fires early
    // shortens it.
    StdMainThread main;
    for (int i = 0; i < 5; ++i) {
        bool fired = false;
        const auto start = Clock::now();
        main.startTimer(200ms, [&fired] { fired = true; });
        processUntil(main, [&fired] { return fired; });
        EXPECT_GE(Clock::now() - start, 200ms) << "round " << i;
    }
}

TEST(StdMainThread, TimerFiresOnceAndAStoppedTimerNever) {
    StdMainThread main;
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
}

TEST(StdMainThread, CallsPostedFromAnotherThreadRunOnTheMainThreadInOrder) {
    StdMainThread main;
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

TEST(StdMainThread, PostFromAnotherThreadWakesABlockedWait) {
    StdMainThread main;
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

TEST(StdMainThread, TerminationBeforeTheLoopSkipsItAndTheIdleHandler) {
    StdMainThread main;
    bool idle = false;
    main.setIdleHandler([&idle] { idle = true; });
    main.requestTermination();
    EXPECT_TRUE(main.terminationRequested());
    main.runEventLoop();  // returns at once instead of waiting for ever
    EXPECT_FALSE(idle);
}

TEST(StdMainThread, IdleHandlerRunsOnceAndTerminationInsideAWaitEndsTheLoop) {
    StdMainThread main;
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

TEST(StdMainThread, ExceptionInAHandlerLeavesThroughTheWaitThatRanIt) {
    StdMainThread main;
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

TEST(StdMainThread, ExceptionAtTheTopOfTheLoopEndsTheProgramWithAMessage) {
    StdMainThread main;
    std::string said;
    main.setExceptionReporter([&said](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            said = e.what();
        }
    });
    main.setIdleHandler([] { throw std::logic_error("idle failed"); });
    main.runEventLoop();  // must return: the exception ends the loop
    EXPECT_TRUE(main.terminationRequested());
    EXPECT_EQ(said, "idle failed");
    // A posted call at the top of the loop too, with the rest of its round still run.
    StdMainThread other;
    bool reported = false;
    bool nextRan = false;
    other.setExceptionReporter([&reported](std::exception_ptr) { reported = true; });
    other.post([] { throw std::runtime_error("posted failed"); });
    other.post([&nextRan] { nextRan = true; });
    other.runEventLoop();
    EXPECT_TRUE(reported);
    EXPECT_TRUE(nextRan);
}

TEST(StdMainThread, MessageGoesToItsSinkWithoutWaiting) {
    StdMainThread main;
    std::vector<std::string> shown;
    main.setMessageSink([&shown](const std::string& text, const std::string& caption) {
        shown.push_back(caption + ": " + text);
    });
    main.showMessage("Ich kann COMM nicht schließen!", "Fehler");  // must not block
    EXPECT_EQ(shown, std::vector<std::string>{"Fehler: Ich kann COMM nicht schließen!"});
}

}  // namespace
}  // namespace zb
