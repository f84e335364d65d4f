// The connection object's port handling, waits and port-state line.
#include <gtest/gtest.h>
#include <termios.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "ProtocolHarness.h"
#include "PtyPair.h"

using namespace std::chrono_literals;

namespace {

double processCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

speed_t lineSpeed(const zb::test::PtyPair& pty) {
    termios t{};
    ::tcgetattr(pty.slaveFd(), &t);
    return ::cfgetospeed(&t);
}

}  // namespace

TEST(Connection, ConstructionState) {
    zbtest::Harness h;
    const zb::CommStat s = h.loader.getCommStat();
    EXPECT_EQ(s.PortName, "0");
    EXPECT_EQ(s.BaudRate, "8");
    EXPECT_FALSE(s.Open);
    EXPECT_FALSE(s.Discard);
    EXPECT_EQ(h.loader.timerInterval(), 0u);
    EXPECT_EQ(h.loader.comm().BaudRate(), "4800");
}

TEST(Connection, OpensTheNamedPortAndShowsItsState) {
    zb::test::PtyPair pty("COM3");
    zbtest::Harness h;
    h.loader.setBaudRate("19200");
    h.loader.setPortNumber("COM3");
    const zb::CommStat s = h.loader.getCommStat();
    EXPECT_TRUE(s.Open);
    EXPECT_EQ(s.PortName, "COM3");
    EXPECT_EQ(s.BaudRate, "19200");
    EXPECT_EQ(h.status.text, "COM3 active");
    EXPECT_EQ(lineSpeed(pty), static_cast<speed_t>(B19200));
    EXPECT_EQ(s.TimeOutCount, 1) << "the opening wait of 10 ms ends by the timer";
    EXPECT_EQ(h.loader.timerInterval(), 0u);
}

TEST(Connection, FailedOpenShowsNotActive) {
    zb::test::PtyPair pty("COM3");
    zbtest::Harness h;
    h.loader.setPortNumber("COM4");
    EXPECT_FALSE(h.loader.getCommStat().Open);
    EXPECT_EQ(h.status.text, "COM4 not active");
    EXPECT_TRUE(h.window.results.empty()) << "the window, not the connection, reports it";
    h.loader.setPortNumber("");
    EXPECT_EQ(h.status.text, " not active");
}

TEST(Connection, RefusedNameOpensNothingAndShowsTheGivenName) {
    zb::test::PtyPair pty("COM1");
    zbtest::Harness h;
    h.loader.setPortNumber("COM1");
    ASSERT_TRUE(h.loader.getCommStat().Open);
    // The open port is closed first, and the refused name leaves no port to reopen.
    h.loader.setPortNumber("com3");
    EXPECT_FALSE(h.loader.getCommStat().Open);
    EXPECT_EQ(h.loader.comm().PortNumber(), "");
    EXPECT_FALSE(h.loader.comm().GetOpenState());
    EXPECT_EQ(h.loader.getCommStat().PortName, "com3");
    EXPECT_EQ(h.status.text, "com3 not active");
}

TEST(Connection, BaudRateTakesEffectAtTheNextOpen) {
    zb::test::PtyPair pty("COM3");
    zbtest::Harness h;
    h.loader.setBaudRate("19200");
    h.loader.setPortNumber("COM3");
    h.loader.setBaudRate("57600");
    EXPECT_EQ(h.loader.getCommStat().BaudRate, "57600");
    EXPECT_EQ(lineSpeed(pty), static_cast<speed_t>(B19200)) << "an open port keeps its speed";
    h.loader.setPortNumber("COM3");  // closes and reopens
    EXPECT_TRUE(h.loader.getCommStat().Open);
    EXPECT_EQ(lineSpeed(pty), static_cast<speed_t>(B57600));
    EXPECT_TRUE(h.window.results.empty());
}

TEST(Connection, BytesWaitingAtOpenAreTakenByTheOpeningWait) {
    zb::test::PtyPair pty("COM3");
    zbtest::Harness h;
    // Letters: a line that nobody has configured yet treats some control bytes as
    // flow control before the port is opened raw.
    pty.send({0x41, 0x42, 0x43});
    h.loader.setPortNumber("COM3");
    EXPECT_TRUE(h.loader.getCommStat().Open);
    EXPECT_EQ(h.recvBuf[0], 0x41);
    EXPECT_EQ(h.recvBuf[1], 0x42);
    EXPECT_EQ(h.recvBuf[2], 0x43);
    EXPECT_EQ(h.recvBuf[3], 0x00);
    EXPECT_EQ(pty.pendingAtPort(), 0);
}

TEST(Connection, PortStateLineIsCutToFitAndNeverUsedAsFormat) {
    zb::test::PtyPair pty("COM3");
    zbtest::Harness h;
    const std::string longName(400, 'N');
    h.loader.setPortNumber(longName);
    EXPECT_EQ(h.status.text.size(), 259u);
    EXPECT_EQ(h.status.text.substr(0, 256), std::string(256, 'N'));
    EXPECT_EQ(h.status.text.substr(256), "...");
    h.loader.setPortNumber("%s%n%x");
    EXPECT_EQ(h.status.text, "%s%n%x not active");
}

TEST(Connection, RawRepliesEndTheWaitAsData) {
    zb::test::PtyPair pty("COM3");
    zbtest::Harness h;
    h.loader.setPortNumber("COM3");
    h.loader.setRawMode(true);
    h.loader.startTimer(zb::kShortReplyMs);
    ASSERT_TRUE(h.loader.comm().ReadComm(h.recvBuf.data(), 4));
    pty.send({1, 2, 3, 4});
    EXPECT_TRUE(h.loader.waitForData());
    EXPECT_TRUE(h.loader.getCommStat().DataReceived);
    EXPECT_FALSE(h.loader.getCommStat().TimedOut);
    EXPECT_EQ(h.recvBuf[3], 4);
}

TEST(Connection, ALongWaitSleepsInsteadOfSpinning) {
    zb::test::PtyPair pty("COM3");
    zbtest::Harness h;
    h.loader.setPortNumber("COM3");
    h.loader.setRawMode(false);
    // Nobody answers the probe: the wait lasts its full 1000 ms period.
    const double cpuBefore = processCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(h.loader.probeDevice());
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = processCpuSeconds() - cpuBefore;
    EXPECT_GE(wall, 0.99);
    EXPECT_TRUE(h.loader.getCommStat().TimedOut);
    // A spinning wait would use about as much processor time as it lasted.
    EXPECT_LT(cpu, 0.25 * wall) << "cpu " << cpu << " s in " << wall << " s";
}

TEST(Connection, WriteReplyMustEndWithAnUnescapedEtxAtItsSixthByte) {
    // Each reply is sent whole once the command has arrived: the six-byte read
    // completes at once, so the end test alone decides. Good reply first, then the
    // malformed ones.
    struct Case {
        std::vector<std::uint8_t> reply;
        bool accepted;
    };
    const std::vector<std::uint8_t> block(56 * 64, 0x11);
    for (const Case& c : {Case{{0x0F, 0x05, 0x04, 0x84, 0x40, 0x04}, true},
                          Case{{0x0F, 0x05, 0x04, 0x84, 0x40, 0x00}, false},    // sixth byte not ETX
                          Case{{0x0F, 0x05, 0x04, 0x84, 0x05, 0x04}, false},   // fifth byte DLE
                          // A valid unescaped frame and a stray byte: the frame check
                          // alone would take it; the end test does not.
                          Case{{0x0F, 0x04, 0x84, 0x40, 0x04, 0x00}, false}}) {
        zb::test::PtyPair pty("COM3");
        zbtest::Harness h;
        h.loader.setBaudRate("19200");
        h.loader.setPortNumber("COM3");
        h.loader.setRawMode(true);
        std::thread device([&] {
            // The frame arrives in one go; what follows within 200 ms of its first
            // byte is the rest of it.
            if (pty.receive(1, 5s).empty()) return;
            pty.receive(SIZE_MAX, 200ms);
            pty.send(c.reply);
        });
        EXPECT_EQ(h.loader.writeBlock(0, 56, block.data()), c.accepted);
        device.join();
        EXPECT_EQ(h.loader.getCommStat().TimeOutCount, 1) << "only the opening wait timed out";
    }
}
