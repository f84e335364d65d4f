// A completed reception is handed to the main thread as a posted call. Under load, or
// held in a modal loop, the main thread can come to a wait's time-out timer and to
// that call late. A reception that completed before its wait's deadline ends the wait
// as data; one that completed after it, or was given up, never ends the wait that
// comes next. These tests run the connection with a main thread that runs every
// posted call late, or one that is held for a while inside a wait.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DevSimProcess.h"
#include "ProtocolHarness.h"
#include "PtyPair.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// The standard-library main thread, passed through; the two below change a part.
class ForwardingMainThread : public zb::MainThread {
public:
    void post(std::function<void()> fn) override { inner_.post(std::move(fn)); }
    void processEvents() override { inner_.processEvents(); }
    zb::TimerId startTimer(std::chrono::milliseconds period, std::function<void()> fn) override {
        return inner_.startTimer(period, std::move(fn));
    }
    void stopTimer(zb::TimerId id) override { inner_.stopTimer(id); }
    void requestTermination() override { inner_.requestTermination(); }
    bool terminationRequested() const override { return inner_.terminationRequested(); }
    void setIdleHandler(std::function<void()> fn) override { inner_.setIdleHandler(std::move(fn)); }
    void runEventLoop() override { inner_.runEventLoop(); }
    void showMessage(const std::string& text, const std::string& caption) override {
        inner_.showMessage(text, caption);
    }

protected:
    zb::StdMainThread inner_;
};

// The standard-library main thread, except that a posted call runs `delay` after the
// main thread first sees it, as on a loaded machine. Order among posted calls stays.
class LateMainThread final : public ForwardingMainThread {
public:
    explicit LateMainThread(std::chrono::milliseconds delay) : delay_(delay) {}

    void post(std::function<void()> fn) override {
        inner_.post([this, fn = std::move(fn)] { inner_.startTimer(delay_, fn); });
    }

private:
    std::chrono::milliseconds delay_;
};

// The standard-library main thread, held up like a main thread in a modal loop: once a
// timer of `period` is started, the next round of events begins only `hold` later,
// so that the wait's time-out and the hand-over are both due when it runs. With
// postsFirst the posted calls of a round run before its timers, as another event
// loop may order them.
class HeldMainThread final : public ForwardingMainThread {
public:
    HeldMainThread(std::chrono::milliseconds period, std::chrono::milliseconds hold, bool postsFirst = false)
        : period_(period), hold_(hold), postsFirst_(postsFirst) {}

    void post(std::function<void()> fn) override {
        if (!postsFirst_) return inner_.post(std::move(fn));
        {
            std::lock_guard lock(mutex_);
            posted_.push_back(std::move(fn));
        }
        inner_.post([] {});  // wakes the inner loop
    }
    void processEvents() override {
        if (holdNext_) {
            holdNext_ = false;
            std::this_thread::sleep_for(hold_);
        }
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard lock(mutex_);
            batch.swap(posted_);
        }
        for (auto& fn : batch) fn();
        if (batch.empty()) inner_.processEvents();
    }
    zb::TimerId startTimer(std::chrono::milliseconds period, std::function<void()> fn) override {
        if (period == period_ && !held_) holdNext_ = held_ = true;
        return inner_.startTimer(period, std::move(fn));
    }

private:
    std::chrono::milliseconds period_;
    std::chrono::milliseconds hold_;
    bool postsFirst_;
    bool holdNext_ = false;
    bool held_ = false;  // only the first such wait is held
    std::mutex mutex_;
    std::deque<std::function<void()>> posted_;
};

// A connection wired as the main window wires it, on the given main thread, with its
// port open at 19200 baud.
template <class Main>
struct Connection {
    template <class... Args>
    explicit Connection(const std::string& port, Args... args) : main(args...) {
        loader.InfoBox = &info;
        loader.setSendBuffer(sendBuf.data());
        loader.setReceiveBuffer(recvBuf.data());
        loader.setBaudRate("19200");
        loader.setPortNumber(port);
    }

    Main main;
    zbtest::MemoryWindow window;
    zbtest::MemoryInfoList info;
    std::vector<std::uint8_t> sendBuf = std::vector<std::uint8_t>(zb::kSendBufferSize, 0xEE);
    std::vector<std::uint8_t> recvBuf = std::vector<std::uint8_t>(zb::kReceiveBufferSize, 0xEE);
    zb::ZbBootloader loader{main, window};
};

using LateConnection = Connection<LateMainThread>;
using HeldConnection = Connection<HeldMainThread>;

}  // namespace

TEST(HandOver, LateProbeHeaderDoesNotShortenTheBreak) {
    zb::test::PtyPair pty("COM3");
    // The header comes 850 ms into the probe's 1000 ms wait, and its hand-over 300 ms
    // after that: after the wait has timed out, inside the break that follows.
    LateConnection c("COM3", 300ms);
    ASSERT_TRUE(c.loader.getCommStat().Open);
    c.loader.setRawMode(false);

    Clock::time_point probeArrived{};
    Clock::time_point syncArrived{};
    std::thread device([&] {
        if (pty.receive(3, 5s).size() != 3) return;  // the probe
        probeArrived = Clock::now();
        std::this_thread::sleep_for(850ms);
        pty.send({0x81, 0x03});  // code and length; the CRC-8 never comes
        const std::vector<std::uint8_t> sync = pty.receive(1, 10s);
        if (!sync.empty() && sync[0] == 0x0F) syncArrived = Clock::now();
    });
    EXPECT_FALSE(c.loader.probeDevice());
    c.loader.activateBootloader(false);
    device.join();
    ASSERT_NE(syncArrived, Clock::time_point{}) << "no synchronisation byte after the break";
    // The probe waits 1000 ms from its sending, the break lasts 1000 ms after that.
    const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(syncArrived - probeArrived);
    EXPECT_GE(span.count(), 1980) << "the break was ended early";
}

TEST(HandOver, EchoHandedOverAfterTheDeadlineStillEstablishesItsAttempt) {
    // The echo comes at once and is handed over 150 ms later, after its attempt's
    // 100 ms: it completed in time, so the first attempt succeeds.
    zb::test::DevSimProcess device({"--no-app"});
    ::setenv("ZBCOMM_DEVICE_DIR", device.dir().c_str(), 1);
    LateConnection c("COM3", 150ms);
    ASSERT_TRUE(c.loader.getCommStat().Open);
    c.loader.setRawMode(true);
    EXPECT_TRUE(c.loader.establishBaudRate());
    EXPECT_EQ(c.info.lines, std::vector<std::string>{"Baud rate established"});
}

TEST(HandOver, ShortReplyCompletedWhileTheMainThreadWasHeldIsTakenWhole) {
    // The probe's reply is read in two stages; both arrive within 1000 ms, while the
    // main thread is held for 1300 ms. The second stage can only be read once the
    // main thread has taken the first, after the deadline.
    zb::test::DevSimProcess device;
    ::setenv("ZBCOMM_DEVICE_DIR", device.dir().c_str(), 1);
    HeldConnection c("COM3", 1000ms, 1300ms);
    ASSERT_TRUE(c.loader.getCommStat().Open);
    c.loader.setRawMode(false);
    EXPECT_TRUE(c.loader.probeDevice());
}

class LateEcho : public testing::TestWithParam<bool> {};

TEST_P(LateEcho, EchoCompletedAfterTheDeadlineEndsNeitherItsAttemptNorTheNext) {
    // The echo comes 250 ms after the first synchronisation byte, after that
    // attempt's 100 ms, while the main thread is held; only one echo ever comes.
    // Whether the main thread then runs the time-out or the hand-over first, the
    // attempt times out and no later attempt takes the echo.
    zb::test::PtyPair pty("COM3");
    HeldConnection c("COM3", 100ms, 600ms, GetParam());
    ASSERT_TRUE(c.loader.getCommStat().Open);
    c.loader.setRawMode(true);
    std::thread device([&] {
        if (pty.receive(1, 5s).empty()) return;
        std::this_thread::sleep_for(250ms);
        pty.send({0x0F});
    });
    EXPECT_FALSE(c.loader.establishBaudRate());
    device.join();
    EXPECT_EQ(c.info.lines, std::vector<std::string>(5, "Baud rate time out"));
}

INSTANTIATE_TEST_SUITE_P(Orders, LateEcho, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& p) { return p.param ? "PostsFirst" : "TimersFirst"; });

TEST(HandOver, LateHandOverDoesNotEndTheInformationWait) {
    zb::test::PtyPair pty("COM3");
    LateConnection c("COM3", 10ms);
    ASSERT_TRUE(c.loader.getCommStat().Open);
    c.loader.setRawMode(true);
    // A reception completes elsewhere and its hand-over is still queued when the
    // query re-arms the port; nobody answers the query.
    std::uint8_t other[8] = {};
    ASSERT_TRUE(c.loader.comm().ReadComm(other, 1));
    pty.send({0x55});
    const auto deadline = Clock::now() + 3s;
    while (c.loader.comm().GetReadState() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_FALSE(c.loader.comm().GetReadState());
    // The wait ends by its timer; RecvBuf holds no frame, so nothing is reported
    // (a stolen end would read its fixed positions as information).
    EXPECT_FALSE(c.loader.getBootloaderInfo());
    EXPECT_TRUE(c.info.lines.empty()) << c.info.lines.front();
    EXPECT_TRUE(c.loader.getCommStat().TimedOut);
}
