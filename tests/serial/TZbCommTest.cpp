// The serial port component on real pseudo-terminals.
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "PtyPair.h"
#include "StdMainThread.h"
#include "TRead.h"
#include "TZbComm.h"

using namespace std::chrono_literals;
using zb::StdMainThread;
using zb::TZbComm;
using zb::test::PtyPair;

namespace {

constexpr auto kBound = 3000ms;  // generous bound for events that come within milliseconds

struct Fixture : ::testing::Test {
    PtyPair pty;
    StdMainThread main;
    TZbComm comm{main};
    int dataReadyCalls = 0;

    void SetUp() override {
        comm.OnDataReady = [this](TZbComm* sender) {
            EXPECT_EQ(sender, &comm);
            ++dataReadyCalls;
        };
        comm.SetBaudRate("19200");
        comm.SetPortNumber("COM3");
    }
    bool waitForDataReady(int calls) {
        return main.processUntil([&] { return dataReadyCalls >= calls; }, kBound);
    }
    // One byte completes a reception of 1 without the main thread processing events:
    // its DataReady stays queued, and the watcher waits for it.
    bool completeOneByteUnreported() {
        if (!comm.ReadComm(oneByte, 1)) return false;
        pty.send({0x42});
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (comm.GetReadState() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        return !comm.GetReadState();
    }
    std::uint8_t oneByte[8] = {};

    // The watcher has stored `count` bytes of the armed reception.
    bool waitUntilStored(std::int32_t count) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (comm.ReceivedCount() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        return comm.ReceivedCount() >= count;
    }
};

}  // namespace

TEST(PortNameRule, AcceptedNamesAndDirectNumbers) {
    StdMainThread main;
    TZbComm comm(main);
    EXPECT_EQ(comm.PortNumber(), "COM1");
    struct Case { const char* text; const char* stored; int direct; };
    // Leading zeros count for nothing, as in the traditional conversion.
    for (const Case& c : {Case{"COM1", "COM1", 0}, Case{"COM9", "COM9", 8}, Case{"COM10", "\\\\.\\COM10", 9},
                          Case{"COM256", "\\\\.\\COM256", 255}, Case{"COM03", "COM03", 2},
                          Case{"COM3", "COM3", 2}}) {
        comm.SetPortNumber(c.text);
        EXPECT_EQ(comm.PortNumber(), c.stored) << c.text;
        EXPECT_EQ(comm.GetDirectNumber(), c.direct) << c.text;
    }
}

TEST(PortNameRule, RefusedNamesLeaveNoPortToOpen) {
    // COM7 is there and would open: a refused name must not leave it in force.
    PtyPair com7("COM7");
    StdMainThread main;
    TZbComm comm(main);
    // The whole rest must be the number: no trailing, leading or signed extras.
    for (const char* text : {"COM0", "COM257", "com3", "COM", "COM1234", "LPT1", "COMX", "", "COM-1", "COM3x",
                             "COM 3", "COM+3", "COM3 ", "COM000", "dev/ttyS0", "\\\\.\\COM7"}) {
        comm.SetPortNumber("COM7");
        comm.SetPortNumber(text);
        EXPECT_EQ(comm.PortNumber(), "") << text;
        EXPECT_FALSE(comm.OpenComm()) << text;
        EXPECT_EQ(comm.GetLastError(), zb::kErrOpenDevice) << text;
        EXPECT_EQ(comm.OpenPath(), "") << "nothing was tried for " << text;
        EXPECT_EQ(comm.OpenFailure(), "not a port name") << text;
    }
}

TEST(PortNameRule, AbsolutePathsOpenOnlyASerialLine) {
    PtyPair pty;
    StdMainThread main;
    TZbComm comm(main);
    struct Case { std::string path; const char* failure; };
    const std::string file = pty.folder() + "/plain";
    std::ofstream(file) << "x";
    for (const Case& c : {Case{"/dev/null", "not a serial line"}, Case{file, "not a serial line"},
                          Case{pty.folder() + "/absent", "no such device"}, Case{pty.folder(), "not a serial line"}}) {
        comm.SetPortNumber(c.path);
        EXPECT_EQ(comm.PortNumber(), c.path);
        EXPECT_FALSE(comm.OpenComm()) << c.path;
        EXPECT_EQ(comm.GetLastError(), zb::kErrOpenDevice) << c.path;
        EXPECT_EQ(comm.OpenPath(), c.path);
        EXPECT_EQ(comm.OpenFailure(), c.failure) << c.path;
    }
    EXPECT_EQ(zb::test::readFile(file), "x");
    // A pseudo-terminal has no sysfs entry; its link is followed as given.
    for (const std::string& path : {pty.slavePath(), pty.linkPath()}) {
        comm.SetPortNumber(path);
        ASSERT_TRUE(comm.OpenComm()) << path << ": " << comm.OpenFailure();
        EXPECT_EQ(comm.OpenFailure(), "");
        comm.KillComm();
    }
}

TEST(BaudRateRule, OnlyTheListedTextsAreTaken) {
    StdMainThread main;
    TZbComm comm(main);
    EXPECT_EQ(comm.BaudRate(), "4800");
    for (const char* text : {"14400", "", "4800 ", " 9600", "19200.0", "0"}) {
        comm.SetBaudRate(text);
        EXPECT_EQ(comm.BaudRate(), "4800") << '"' << text << '"';
    }
    comm.SetBaudRate("115200");
    EXPECT_EQ(comm.BaudRate(), "115200");
    EXPECT_EQ(comm.GetLastError(), 0);
}

TEST(NeverOpened, CallsFailWithoutTouchingAPort) {
    StdMainThread main;
    TZbComm comm(main);
    std::uint8_t buf[16] = {};
    EXPECT_FALSE(comm.WriteComm(buf, 1));
    EXPECT_EQ(comm.GetLastError(), zb::kErrNotOpen);
    EXPECT_EQ(comm.GetLastError(), 0) << "the code is read once";
    EXPECT_FALSE(comm.ReadComm(buf, 1));
    EXPECT_EQ(comm.GetLastError(), zb::kErrNotOpen);
    EXPECT_FALSE(comm.CloseComm());
    EXPECT_EQ(comm.GetLastError(), zb::kErrNotOpenClose);
    EXPECT_FALSE(comm.FlushWriteBuffer());
    EXPECT_EQ(comm.GetLastError(), zb::kErrNotOpen);
    EXPECT_FALSE(comm.SetBreak());
    EXPECT_FALSE(comm.ClearBreak());
    EXPECT_FALSE(comm.EscapeComm(zb::SETDTR));
    EXPECT_FALSE(comm.GetReadState());
    comm.StopReading();
    comm.KillComm();
    EXPECT_EQ(comm.GetLastError(), 0) << "break, escape and kill set no code";
    EXPECT_FALSE(comm.GetOpenState());
}

TEST(OpenFailures, AbsentDeviceAndNonTerminal) {
    zb::test::TempWorkDir dir;
    ::setenv("ZBCOMM_DEVICE_DIR", dir.path().c_str(), 1);
    StdMainThread main;
    TZbComm comm(main);
    comm.SetPortNumber("COM4");
    EXPECT_FALSE(comm.OpenComm());
    EXPECT_EQ(comm.GetLastError(), zb::kErrOpenDevice);
    EXPECT_FALSE(std::ifstream(dir.path() + "/COM4").good()) << "opening never creates the device";

    std::ofstream(dir.path() + "/COM4") << "not a terminal";
    EXPECT_FALSE(comm.OpenComm());
    EXPECT_EQ(comm.GetLastError(), zb::kErrGetLineSettings);
    EXPECT_FALSE(comm.GetOpenState());
    // Failed opens leave the component able to open again.
    EXPECT_FALSE(comm.OpenComm());
    EXPECT_EQ(comm.GetLastError(), zb::kErrGetLineSettings);
}

TEST_F(Fixture, OpensRawAt19200EightNoneOneAndRestoresOnKill) {
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.slaveFd(), &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON) << "a fresh line starts cooked";
    ASSERT_TRUE(comm.OpenComm());
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.slaveFd(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B19200);
    EXPECT_EQ(::cfgetispeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB));
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 1);

    // Control characters pass unchanged in both directions.
    const std::vector<std::uint8_t> bytes = {0x03, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0x00, 0xFF, 0x1A};
    std::uint8_t buf[16] = {};
    ASSERT_TRUE(comm.ReadComm(buf, static_cast<std::int32_t>(bytes.size())));
    pty.send(bytes);
    ASSERT_TRUE(waitForDataReady(1));
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + bytes.size()), bytes);
    ASSERT_TRUE(comm.WriteComm(bytes.data(), static_cast<std::int32_t>(bytes.size())));
    EXPECT_EQ(pty.receive(bytes.size(), kBound), bytes);

    comm.KillComm();
    EXPECT_FALSE(comm.GetOpenState());
    termios after{};
    ASSERT_EQ(::tcgetattr(pty.slaveFd(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
}

TEST_F(Fixture, LineSettingsTheLineCannotCarryFailWithCode6) {
    comm.SetStopBits(zb::stopBits::SB1_5);  // no such setting in termios
    EXPECT_FALSE(comm.OpenComm());
    EXPECT_EQ(comm.GetLastError(), zb::kErrSetLineSettings);
    EXPECT_FALSE(comm.GetOpenState());
    // A pseudo-terminal always carries 8 data bits without parity; asking for 7E2 is
    // refused instead of silently running 8N1.
    comm.SetStopBits(zb::stopBits::SB2);
    comm.SetParity(zb::parity::prEven);
    comm.SetDataBits(zb::dataBits::DB7);
    EXPECT_FALSE(comm.OpenComm());
    EXPECT_EQ(comm.GetLastError(), zb::kErrSetLineSettings);
    // The failed opens closed the device again: 8N1 opens.
    comm.SetStopBits(zb::stopBits::SB1);
    comm.SetParity(zb::parity::prNone);
    comm.SetDataBits(zb::dataBits::DB8);
    EXPECT_TRUE(comm.OpenComm()) << "errno " << comm.LastOsError();
}

TEST_F(Fixture, OpenCloseStatesAndCodes) {
    ASSERT_TRUE(comm.OpenComm());
    EXPECT_FALSE(comm.OpenComm());
    EXPECT_EQ(comm.GetLastError(), zb::kErrAlreadyOpen);
    EXPECT_EQ(comm.GetLastError(), 0);
    // Still open and working after the refused second open.
    const std::uint8_t ping[] = {0x55};
    ASSERT_TRUE(comm.WriteComm(ping, 1));
    EXPECT_EQ(pty.receive(1, kBound), std::vector<std::uint8_t>{0x55});
    EXPECT_TRUE(comm.FlushWriteBuffer());
    EXPECT_TRUE(comm.WaitForEndOfTransmission(0));
    EXPECT_TRUE(comm.SetBreak());
    EXPECT_TRUE(comm.ClearBreak());
    EXPECT_TRUE(comm.EscapeComm(zb::SETBREAK));
    EXPECT_TRUE(comm.EscapeComm(zb::CLRBREAK));
    EXPECT_FALSE(comm.EscapeComm(99));

    ASSERT_TRUE(comm.CloseComm());
    EXPECT_FALSE(comm.GetOpenState());
    EXPECT_FALSE(comm.CloseComm());
    EXPECT_EQ(comm.GetLastError(), zb::kErrNotOpenClose);
    EXPECT_FALSE(comm.WriteComm(ping, 1));
    EXPECT_EQ(comm.GetLastError(), zb::kErrNotOpen);
    EXPECT_FALSE(comm.SetBreak());
    // Reopening after a close works, and after a kill too (with a new watcher).
    ASSERT_TRUE(comm.OpenComm());
    comm.KillComm();
    ASSERT_TRUE(comm.OpenComm());
    EXPECT_TRUE(comm.GetOpenState());
}

TEST_F(Fixture, ArmingFiveWhenSevenArrive) {
    ASSERT_TRUE(comm.OpenComm());
    std::uint8_t buf[16];
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    ASSERT_TRUE(comm.ReadComm(buf, 5));
    EXPECT_TRUE(comm.GetReadState());
    pty.send({1, 2, 3, 4, 5, 6, 7});
    ASSERT_TRUE(waitForDataReady(1));
    EXPECT_FALSE(comm.GetReadState());
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 7), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 0, 0xEE}));
    // Nothing more is reported while nothing is armed...
    main.processUntil([] { return false; }, 150ms);
    EXPECT_EQ(dataReadyCalls, 1);
    // ...and the sixth and seventh bytes wait for the next reception.
    std::uint8_t next[4] = {};
    ASSERT_TRUE(comm.ReadComm(next, 2));
    ASSERT_TRUE(waitForDataReady(2));
    EXPECT_EQ(next[0], 6);
    EXPECT_EQ(next[1], 7);
    EXPECT_EQ(next[2], 0);
}

TEST_F(Fixture, BytesArrivingUnarmedGoInOrderToTheNextReception) {
    ASSERT_TRUE(comm.OpenComm());
    pty.send({0x0F, 0x04, 0x05});
    main.processUntil([] { return false; }, 100ms);
    EXPECT_EQ(pty.pendingAtPort(), 3) << "nobody reads while nothing is armed";
    std::uint8_t buf[8] = {};
    ASSERT_TRUE(comm.ReadComm(buf, 1));  // a count of 1 completes on the first byte
    ASSERT_TRUE(waitForDataReady(1));
    EXPECT_EQ(buf[0], 0x0F);
    ASSERT_TRUE(comm.ReadComm(buf, 2));
    ASSERT_TRUE(waitForDataReady(2));
    EXPECT_EQ(buf[0], 0x04);
    EXPECT_EQ(buf[1], 0x05);
}

TEST_F(Fixture, ReceptionArmedBeforeCloseCompletesAfterReopen) {
    ASSERT_TRUE(comm.OpenComm());
    std::uint8_t buf[8] = {};
    ASSERT_TRUE(comm.ReadComm(buf, 3));
    pty.send({0xA1});
    ASSERT_TRUE(waitUntilStored(1));
    ASSERT_TRUE(comm.CloseComm());
    EXPECT_TRUE(comm.GetReadState()) << "a closed port keeps its armed reception";
    pty.send({0xA2, 0xA3});
    main.processUntil([] { return false; }, 150ms);
    EXPECT_EQ(pty.pendingAtPort(), 2) << "the paused watcher reads nothing";
    EXPECT_EQ(dataReadyCalls, 0);
    ASSERT_TRUE(comm.OpenComm());
    ASSERT_TRUE(waitForDataReady(1));
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 4), (std::vector<std::uint8_t>{0xA1, 0xA2, 0xA3, 0}));
}

TEST_F(Fixture, StopReadingAbandonsWithoutNotice) {
    ASSERT_TRUE(comm.OpenComm());
    std::uint8_t buf[8] = {};
    ASSERT_TRUE(comm.ReadComm(buf, 5));
    pty.send({0x31, 0x32});
    ASSERT_TRUE(waitUntilStored(2));
    comm.StopReading();
    EXPECT_FALSE(comm.GetReadState());
    EXPECT_EQ(buf[0], 0x31);
    EXPECT_EQ(buf[1], 0x32);
    pty.send({0x33, 0x34, 0x35});
    main.processUntil([] { return false; }, 150ms);
    EXPECT_EQ(dataReadyCalls, 0);
    // A read under way when the reception was given up may take the three bytes it
    // still lacked; they are kept for the receptions that follow, however these
    // split them, so nothing that arrived is lost or reordered.
    std::uint8_t next[8] = {};
    ASSERT_TRUE(comm.ReadComm(next, 1));
    ASSERT_TRUE(waitForDataReady(1));
    ASSERT_TRUE(comm.ReadComm(next + 1, 2));
    ASSERT_TRUE(waitForDataReady(2));
    EXPECT_EQ(std::vector<std::uint8_t>(next, next + 3), (std::vector<std::uint8_t>{0x33, 0x34, 0x35}));
    EXPECT_EQ(buf[2], 0) << "the abandoned reception got nothing more";
}

TEST_F(Fixture, KillNeverWaitsForAWatcherThatWaitsForTheMainThread) {
    ASSERT_TRUE(comm.OpenComm());
    ASSERT_TRUE(completeOneByteUnreported());
    const auto start = std::chrono::steady_clock::now();
    comm.KillComm();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 2s) << "a deadlock would never return; the normal figure is well under 250 ms";
    EXPECT_FALSE(comm.GetOpenState());
    // The call left in the queue is cancelled, not run on a shut-down component.
    main.processUntil([] { return false; }, 50ms);
    EXPECT_EQ(dataReadyCalls, 0);
}

TEST_F(Fixture, CloseWhileDataReadyIsQueuedDoesNotDeadlock) {
    ASSERT_TRUE(comm.OpenComm());
    ASSERT_TRUE(completeOneByteUnreported());
    ASSERT_TRUE(comm.CloseComm());
    // The completed reception is still reported once the main thread gets to it.
    ASSERT_TRUE(waitForDataReady(1));
    EXPECT_EQ(oneByte[0], 0x42);
}

TEST_F(Fixture, UnpluggedDeviceLeavesTheWatcherAlive) {
    ASSERT_TRUE(comm.OpenComm());
    std::uint8_t buf[8] = {};
    ASSERT_TRUE(comm.ReadComm(buf, 2));
    // Hanging up the line makes every read fail at once; the watcher stops reading
    // it, the reception stays armed, and the component can still be shut down.
    pty.hangUp();
    main.processUntil([] { return false; }, 200ms);
    EXPECT_TRUE(comm.GetReadState());
    EXPECT_EQ(dataReadyCalls, 0);
    comm.KillComm();
    EXPECT_FALSE(comm.GetOpenState());
}

TEST_F(Fixture, HungUpLineIsReportedOnceAsTheDeviceGoneAndAQuietOneNever) {
    int goneCalls = 0;
    comm.OnDeviceGone = [&](TZbComm* sender) {
        EXPECT_EQ(sender, &comm);
        ++goneCalls;
    };
    ASSERT_TRUE(comm.OpenComm());
    std::uint8_t buf[8] = {};
    ASSERT_TRUE(comm.ReadComm(buf, 2));
    // Reads that wait out their time-out on a live line are no byte yet, not a loss.
    main.processUntil([] { return false; }, 250ms);
    EXPECT_FALSE(comm.DeviceGone());
    EXPECT_EQ(goneCalls, 0);

    pty.hangUp();
    ASSERT_TRUE(main.processUntil([&] { return goneCalls > 0; }, kBound));
    EXPECT_TRUE(comm.DeviceGone());
    // Once: the watcher reads no more from the hung-up line.
    main.processUntil([] { return false; }, 100ms);
    EXPECT_EQ(goneCalls, 1);
    EXPECT_EQ(dataReadyCalls, 0);
    const std::uint8_t byte = 0x0F;
    EXPECT_FALSE(comm.WriteComm(&byte, 1));
    const auto start = std::chrono::steady_clock::now();
    comm.KillComm();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(Fixture, DiscardInputDropsWhatWaitedAndWhatTheWatcherHeldOver) {
    ASSERT_TRUE(comm.OpenComm());
    std::uint8_t buf[8] = {};
    ASSERT_TRUE(comm.ReadComm(buf, 5));
    pty.send({0x30});
    ASSERT_TRUE(waitUntilStored(1)) << "the watcher is reading";
    // Given up while its next read is under way: bytes that come now are held over by
    // the watcher for the next reception, at most the four it still lacked (or, if
    // that read has just ended, they wait in the driver). The rest waits in the driver.
    comm.StopReading();
    pty.send({0x77});
    pty.send({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (pty.pendingAtPort() < 5 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_GE(pty.pendingAtPort(), 5);

    ASSERT_TRUE(comm.DiscardInput());
    EXPECT_EQ(pty.pendingAtPort(), 0);
    EXPECT_FALSE(comm.GetReadState());
    std::uint8_t next[8] = {};
    ASSERT_TRUE(comm.ReadComm(next, 2));
    pty.send({0xA0, 0xA1});
    ASSERT_TRUE(waitForDataReady(1));
    EXPECT_EQ(next[0], 0xA0) << "a byte from before the discard reached the next reception";
    EXPECT_EQ(next[1], 0xA1);
    EXPECT_EQ(dataReadyCalls, 1);
}

TEST_F(Fixture, WriteOnAHeldLineFailsAfterItsLineTimeAndBlocksNothingAfterIt) {
    ASSERT_TRUE(comm.OpenComm());
    // Output stopped from the other side of the line, as a low CTS stops a port with
    // hardware flow control.
    ASSERT_EQ(::tcflow(pty.slaveFd(), TCOOFF), 0);
    const std::vector<std::uint8_t> frame(960, 0x11);  // 500 ms on the line at 19200 baud
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(comm.WriteComm(frame.data(), static_cast<std::int32_t>(frame.size())));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 500ms) << "the bytes' own line time is allowed";
    EXPECT_LT(took, kBound);
    // Nothing waits for the held bytes: not a drain, not a close.
    EXPECT_TRUE(comm.FlushWriteBuffer());
    EXPECT_TRUE(comm.WaitForEndOfTransmission(0));
    ASSERT_TRUE(comm.CloseComm());
    ASSERT_TRUE(comm.OpenComm());
    // Once the line runs again, the next write goes through, and nothing of the
    // failed one follows it.
    ASSERT_EQ(::tcflow(pty.slaveFd(), TCOON), 0);
    const std::uint8_t ping[] = {0x55};
    ASSERT_TRUE(comm.WriteComm(ping, 1));
    EXPECT_EQ(pty.receive(2, 300ms), std::vector<std::uint8_t>{0x55});
    comm.KillComm();
}

TEST_F(Fixture, KillEndsTheWatcherEvenWhenAnotherProgramMadeReadsBlock) {
    ASSERT_TRUE(comm.OpenComm());
    std::uint8_t buf[8] = {};
    ASSERT_TRUE(comm.ReadComm(buf, 2));
    // Another program on the same line asks for reads that wait for a byte; the
    // watcher keeps reading meanwhile.
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.slaveFd(), &t), 0);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ASSERT_EQ(::tcsetattr(pty.slaveFd(), TCSANOW, &t), 0);
    main.processUntil([] { return false; }, 200ms);

    // Shut-down waits for the watcher's end and closes the port only after it.
    auto killed = std::async(std::launch::async, [&] { comm.KillComm(); });
    const bool ended = killed.wait_for(kBound) == std::future_status::ready;
    if (!ended) {
        // Frees a watcher stuck in its read so that the test can end: a line end,
        // since the settings put back at the close may be canonical.
        pty.send({'\n'});
        killed.wait();
    }
    EXPECT_TRUE(ended) << "the watcher was still inside a read when the port was closed";
    EXPECT_FALSE(comm.GetOpenState());
}

// The shut-down's close is the watcher thread's last act. One that a driver holds
// past its bound is left to that thread: the watcher goes at once, and the act ends
// later without touching it (the sanitizer builds see a touch of freed memory).
TEST(WatcherLastAct, ReturnsTheActsResultOrLeavesAHeldActToTheThread) {
    StdMainThread main;
    {
        zb::TRead watcher(true, nullptr, nullptr, main);
        watcher.Stop();
        EXPECT_EQ(watcher.RunLast([] { return false; }, kBound), std::optional<bool>(false));
    }
    struct Held {
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        bool ended = false;
    };
    auto held = std::make_shared<Held>();
    auto watcher = std::make_unique<zb::TRead>(true, nullptr, nullptr, main);
    watcher->Stop();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(watcher->RunLast(
        [held] {
            std::unique_lock lock(held->mutex);
            held->changed.wait(lock, [&] { return held->released; });
            held->ended = true;
            held->changed.notify_all();
            return true;
        },
        100ms));
    // A watcher that waited for its held act would keep this from returning.
    std::thread release([held] {
        std::this_thread::sleep_for(5s);
        std::lock_guard lock(held->mutex);
        held->released = true;
        held->changed.notify_all();
    });
    watcher.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << "the watcher's end waited for the held act";
    release.join();
    std::unique_lock lock(held->mutex);
    EXPECT_TRUE(held->changed.wait_for(lock, kBound, [&] { return held->ended; }));
}
