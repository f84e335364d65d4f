// A completed reception is handed to the main thread as a posted call. Under load the
// main thread can handle a wait's time-out timer before that call; the call must then
// be withdrawn, never end the wait that comes next. These tests run the connection
// with a main thread that runs every posted call late.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "DevSimProcess.h"
#include "ProtocolHarness.h"
#include "PtyPair.h"

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// The standard-library main thread, except that a posted call runs `delay` after the
// main thread first sees it, as on a loaded machine. Order among posted calls stays.
class LateMainThread final : public zb::MainThread {
public:
    explicit LateMainThread(std::chrono::milliseconds delay) : delay_(delay) {}

    void post(std::function<void()> fn) override {
        inner_.post([this, fn = std::move(fn)] { inner_.startTimer(delay_, fn); });
    }
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

private:
    zb::StdMainThread inner_;
    std::chrono::milliseconds delay_;
};

// A connection wired as the main window wires it, on the late main thread, with its
// port open at 19200 baud.
struct LateConnection {
    explicit LateConnection(std::chrono::milliseconds delay, const std::string& port) : main(delay) {
        loader.InfoBox = &info;
        loader.setSendBuffer(sendBuf.data());
        loader.setReceiveBuffer(recvBuf.data());
        loader.setBaudRate("19200");
        loader.setPortNumber(port);
    }

    LateMainThread main;
    zbtest::MemoryWindow window;
    zbtest::MemoryInfoList info;
    std::vector<std::uint8_t> sendBuf = std::vector<std::uint8_t>(zb::kSendBufferSize, 0xEE);
    std::vector<std::uint8_t> recvBuf = std::vector<std::uint8_t>(zb::kReceiveBufferSize, 0xEE);
    zb::ZbBootloader loader{main, window};
};

}  // namespace

TEST(HandOver, LateProbeHeaderDoesNotShortenTheBreak) {
    zb::test::PtyPair pty("COM3");
    // The header comes 850 ms into the probe's 1000 ms wait, and its hand-over 300 ms
    // after that: after the wait has timed out, inside the break that follows.
    LateConnection c(300ms, "COM3");
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

TEST(HandOver, LateEchoDoesNotEstablishTheNextAttempt) {
    // Every echo comes at once and is handed over 150 ms later, after its attempt's
    // 100 ms: each attempt times out, and no echo counts for the attempt after it.
    zb::test::DevSimProcess device({"--no-app"});
    ::setenv("ZBCOMM_DEVICE_DIR", device.dir().c_str(), 1);
    LateConnection c(150ms, "COM3");
    ASSERT_TRUE(c.loader.getCommStat().Open);
    c.loader.setRawMode(true);
    EXPECT_FALSE(c.loader.establishBaudRate());
    EXPECT_EQ(c.info.lines, std::vector<std::string>(5, "Baud rate time out"));
}

TEST(HandOver, LateHandOverDoesNotEndTheInformationWait) {
    zb::test::PtyPair pty("COM3");
    LateConnection c(10ms, "COM3");
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
