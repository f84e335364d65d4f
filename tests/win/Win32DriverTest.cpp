// The Windows port layer and TZbComm, its watcher included, against driver behaviours
// that Wine's serial layer does not play: a stand-in driver (StandInDriver.h) below
// the port layer, over COM3 on the device emulator (tests/win/with-devsim.sh).
// Before <windows.h>, whose macros would rename the port layer's constants.
#include "MainWindowCode.h"
#include "MemoryWindowView.h"
#include "ProtocolHarness.h"
#include "StandInDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using zbtest::DriverFault;
using zbtest::StandInDriver;
using zbtest::WriteEnd;

namespace {

constexpr const char* kGoneLine = "COM3: the device is gone (unplugged?)";
constexpr std::uint32_t kEraseAddress = 0xF7FF;  // the region below the emulator's bootloader
constexpr std::uint8_t kEraseRows = 16;

long countOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<long>(std::count(lines.begin(), lines.end(), line));
}

// Ports made while it lives call the stand-in.
class DriverInUse {
public:
    explicit DriverInUse(StandInDriver& driver) { zb::UseWin32System(&driver); }
    ~DriverInUse() { zb::UseWin32System(nullptr); }
    DriverInUse(const DriverInUse&) = delete;
    DriverInUse& operator=(const DriverInUse&) = delete;
};

// A connection on COM3 through the stand-in, in raw mode: erase and write commands
// straight to the emulator's bootloader.
class Connection {
public:
    explicit Connection(StandInDriver& driver) : use(driver) {
        loader.InfoBox = &info;
        loader.setSendBuffer(sendBuf.data());
        loader.setReceiveBuffer(recvBuf.data());
        loader.setBaudRate("19200");
        loader.setPortNumber("COM3");
        loader.setRawMode(true);
    }
    bool open() { return loader.getCommStat().Open; }
    bool erase() { return loader.eraseBlock(kEraseAddress, kEraseRows); }

    DriverInUse use;
    zb::StdMainThread main;
    zbtest::MemoryWindow window;
    zbtest::MemoryInfoList info;
    std::vector<std::uint8_t> sendBuf = std::vector<std::uint8_t>(zb::kSendBufferSize, 0xEE);
    std::vector<std::uint8_t> recvBuf = std::vector<std::uint8_t>(zb::kReceiveBufferSize, 0xEE);
    zb::ZbBootloader loader{main, window};
};

// --- a transfer that fails --------------------------------------------------------

struct FailCase {
    const char* name;
    WriteEnd end;
    DWORD code;
    bool pulled;
};

std::string caseName(const testing::TestParamInfo<FailCase>& info) { return info.param.name; }

class FailedTransfer : public testing::TestWithParam<FailCase> {};

// A pulled adapter fails the transfer with its driver's code, whichever end the
// request meets. The main thread looks at once, before the watcher's read could tell
// (the stand-in holds the watcher until then): the device counts as gone, and one
// line says so. A device that is still there (a CDC device that stopped reading, a
// held line) fails only that write, within its bound, and carries the next command.
TEST_P(FailedTransfer, ConfirmsTheDeviceGoneAtOnceOrCarriesOn) {
    const FailCase& c = GetParam();
    StandInDriver driver;
    Connection link(driver);
    ASSERT_TRUE(link.open()) << "COM3 is not the device emulator";
    DriverFault fault;
    fault.end = c.end;
    fault.code = c.code;
    fault.pulled = c.pulled;
    // A pull in the read direction shows in the watcher's read: it is not held.
    fault.holdWatcher = c.pulled && c.end != WriteEnd::Taken;
    driver.arm(fault);

    EXPECT_FALSE(link.erase());
    ASSERT_TRUE(driver.fired());
    if (c.pulled) {
        EXPECT_TRUE(link.loader.comm().DeviceGone()) << "the failed transfer did not find the device gone";
        if (fault.holdWatcher) {
            EXPECT_FALSE(driver.watcherReleased()) << "the watcher was let go before the main thread looked";
        }
        EXPECT_EQ(countOf(link.info.lines, kGoneLine), 1);
    } else {
        EXPECT_FALSE(link.loader.comm().DeviceGone());
        EXPECT_EQ(countOf(link.info.lines, kGoneLine), 0);
        // A stuck request keeps the transmit record until the close.
        if (c.end != WriteEnd::PendingStuck) {
            EXPECT_TRUE(link.erase()) << "the port did not carry the next command";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, FailedTransfer,
    testing::Values(
        // A pulled adapter: the codes drivers give, and Wine's 21.
        FailCase{"PullRefusesTheWrite_AccessDenied5", WriteEnd::AtOnce, ERROR_ACCESS_DENIED, true},
        FailCase{"PullRefusesTheWrite_BadCommand22", WriteEnd::AtOnce, ERROR_BAD_COMMAND, true},
        FailCase{"PullRefusesTheWrite_GenFailure31", WriteEnd::AtOnce, ERROR_GEN_FAILURE, true},
        FailCase{"PullRefusesTheWrite_Aborted995", WriteEnd::AtOnce, ERROR_OPERATION_ABORTED, true},
        FailCase{"PullRefusesTheWrite_DeviceNotConnected1167", WriteEnd::AtOnce, ERROR_DEVICE_NOT_CONNECTED, true},
        FailCase{"PullRefusesTheWrite_SemTimeout121", WriteEnd::AtOnce, ERROR_SEM_TIMEOUT, true},
        FailCase{"PullRefusesTheWrite_NotReady21", WriteEnd::AtOnce, ERROR_NOT_READY, true},
        FailCase{"PullFailsThePendingWrite_AccessDenied5", WriteEnd::PendingFails, ERROR_ACCESS_DENIED, true},
        FailCase{"PullFailsThePendingWrite_BadCommand22", WriteEnd::PendingFails, ERROR_BAD_COMMAND, true},
        FailCase{"PullFailsThePendingWrite_GenFailure31", WriteEnd::PendingFails, ERROR_GEN_FAILURE, true},
        FailCase{"PullFailsThePendingWrite_Aborted995", WriteEnd::PendingFails, ERROR_OPERATION_ABORTED, true},
        FailCase{"PullFailsThePendingWrite_DeviceNotConnected1167", WriteEnd::PendingFails,
                 ERROR_DEVICE_NOT_CONNECTED, true},
        FailCase{"PullFailsThePendingWrite_SemTimeout121", WriteEnd::PendingFails, ERROR_SEM_TIMEOUT, true},
        FailCase{"PullFailsThePendingWrite_NotReady21", WriteEnd::PendingFails, ERROR_NOT_READY, true},
        FailCase{"PullEndsThePendingWriteShort", WriteEnd::PendingShort, ERROR_GEN_FAILURE, true},
        FailCase{"PullEndsThePendingWriteEmpty", WriteEnd::PendingEmpty, ERROR_GEN_FAILURE, true},
        FailCase{"PullLeavesThePendingWriteStuck", WriteEnd::PendingStuck, ERROR_GEN_FAILURE, true},
        FailCase{"PullFailsTheRead_AccessDenied5", WriteEnd::Taken, ERROR_ACCESS_DENIED, true},
        FailCase{"PullFailsTheRead_BadCommand22", WriteEnd::Taken, ERROR_BAD_COMMAND, true},
        FailCase{"PullFailsTheRead_GenFailure31", WriteEnd::Taken, ERROR_GEN_FAILURE, true},
        FailCase{"PullFailsTheRead_Aborted995", WriteEnd::Taken, ERROR_OPERATION_ABORTED, true},
        FailCase{"PullFailsTheRead_DeviceNotConnected1167", WriteEnd::Taken, ERROR_DEVICE_NOT_CONNECTED, true},
        FailCase{"PullFailsTheRead_SemTimeout121", WriteEnd::Taken, ERROR_SEM_TIMEOUT, true},
        FailCase{"PullFailsTheRead_NotReady21", WriteEnd::Taken, ERROR_NOT_READY, true},
        // The device is still there.
        FailCase{"CdcDeviceStoppedReading_SemTimeout121AtOnce", WriteEnd::AtOnce, ERROR_SEM_TIMEOUT, false},
        FailCase{"CdcDeviceStoppedReading_SemTimeout121Pending", WriteEnd::PendingFails, ERROR_SEM_TIMEOUT, false},
        FailCase{"HeldLineEndsTheWriteShort", WriteEnd::PendingShort, 0, false},
        FailCase{"HeldLineEndsTheWriteEmpty", WriteEnd::PendingEmpty, 0, false},
        FailCase{"DriverHoldsTheWriteAndIgnoresTheCancel", WriteEnd::PendingStuck, 0, false}),
    caseName);

// --- reads that a driver ends its own way ------------------------------------------

enum class ReadQuirk { UnaskedAbort, ReturnsAtOnce };

class ReadQuirks : public testing::TestWithParam<ReadQuirk> {};

// usbser.sys ends reads with 995 that nobody cancelled: the watcher reads again and
// keeps the bytes such a read brought. CH340 drivers ignore the read time-outs and
// return 0 bytes at once: the watcher naps between such reads instead of spinning.
// Either way the device counts as there and the replies come through.
TEST_P(ReadQuirks, RepliesComeThroughAndTheDeviceStays) {
    StandInDriver driver;
    driver.setUnaskedAborts(GetParam() == ReadQuirk::UnaskedAbort);
    driver.setReadsReturnAtOnce(GetParam() == ReadQuirk::ReturnsAtOnce);
    Connection link(driver);
    ASSERT_TRUE(link.open()) << "COM3 is not the device emulator";
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(link.erase()) << "erase " << i;
    std::vector<std::uint8_t> block(56 * 64, 0x5A);  // 56 rows of 64 bytes
    EXPECT_TRUE(link.loader.writeBlock(0, 56, block.data()));
    EXPECT_FALSE(link.loader.comm().DeviceGone());
    EXPECT_EQ(countOf(link.info.lines, kGoneLine), 0);

    if (GetParam() == ReadQuirk::UnaskedAbort) {
        EXPECT_GT(driver.abortsPlayed(), 0);
        return;
    }
    // A quiet line, a reception armed: reads come back empty at once, and between
    // them the watcher naps (5 ms). Spinning would make thousands of reads here.
    std::uint8_t quiet[16] = {};
    const int readsBefore = driver.reads();
    const int emptyBefore = driver.emptyReads();
    const auto start = Clock::now();
    ASSERT_TRUE(link.loader.comm().ReadComm(quiet, 1));
    link.main.processUntil([] { return false; }, 300ms);
    link.loader.comm().StopReading();
    const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    const int reads = driver.reads() - readsBefore;
    EXPECT_GE(driver.emptyReads() - emptyBefore, 8) << "the reads did not return at once: " << reads << " reads in " << tookMs << " ms";
    EXPECT_LE(reads, tookMs / 2 + 10) << reads << " reads in " << tookMs << " ms";
}

INSTANTIATE_TEST_SUITE_P(Drivers, ReadQuirks, testing::Values(ReadQuirk::UnaskedAbort, ReadQuirk::ReturnsAtOnce),
                         [](const testing::TestParamInfo<ReadQuirk>& quirk) {
                             return quirk.param == ReadQuirk::UnaskedAbort ? std::string("UsbserEndsReadsWith995")
                                                                          : std::string("Ch340ReadsReturnAtOnce");
                         });

// --- a close that blocks -----------------------------------------------------------

// Some CH340 and FTDI drivers block CloseHandle. The shut-down (the watcher thread's
// last act) and a close at a change of port (a thread of its own) return within
// their bound all the same; the close is left to the driver.
class BlockingClose : public testing::TestWithParam<bool> {};

TEST_P(BlockingClose, ReturnsWhileTheDriverHoldsTheClose) {
    const bool shutDown = GetParam();
    StandInDriver driver;
    std::atomic<bool> closeReturned{false};
    std::atomic<bool> gaveUp{false};
    {
        Connection link(driver);
        ASSERT_TRUE(link.open()) << "COM3 is not the device emulator";
        EXPECT_TRUE(link.erase());
        driver.setCloseHeld(true);
        // Lets the close go if the caller waits for it, so that the test ends.
        std::thread watchdog([&] {
            const auto until = Clock::now() + 20s;
            while (!closeReturned && Clock::now() < until) std::this_thread::sleep_for(10ms);
            if (!closeReturned) {
                gaveUp = true;
                driver.releaseClose();
            }
        });
        if (shutDown) {
            link.loader.comm().KillComm();
        } else {
            EXPECT_TRUE(link.loader.comm().CloseComm()) << "a held close counts as done";
        }
        closeReturned = true;
        watchdog.join();
        EXPECT_FALSE(gaveUp) << "the caller waited for the driver's close";
        EXPECT_TRUE(driver.closeEntered());
        EXPECT_FALSE(link.loader.comm().GetOpenState());
    }
    EXPECT_FALSE(driver.closeReturned()) << "the close was not held";
    driver.releaseClose();
    EXPECT_TRUE(driver.waitCloseReturned(10s));
}

INSTANTIATE_TEST_SUITE_P(Drivers, BlockingClose, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& shutDown) {
                             return shutDown.param ? std::string("ShutDown") : std::string("ChangeOfPort");
                         });

// --- the run: a pull during a pending write ---------------------------------------

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TempWorkDir {
public:
    TempWorkDir() : previous_(std::filesystem::current_path()) {
        path_ = std::filesystem::temp_directory_path() /
                ("zbdriver-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++serial_));
        std::filesystem::create_directories(path_);
        std::filesystem::current_path(path_);
    }
    ~TempWorkDir() {
        std::error_code ec;
        std::filesystem::current_path(previous_, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

private:
    static inline int serial_ = 0;
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

// A write frame stays pending for its line time, so a pull during the write phase
// usually lands there. The main thread looks (the run's fallback decision) before
// the watcher's read finds the device gone: still the run ends at once with the
// write phase's result, one line says why, and no fallback to 19200 baud follows.
TEST(PullDuringAPendingWrite, EndsTheRunWithTheWritePhasesResultAndNoFallback) {
    TempWorkDir work;
    ::_putenv_s("ZBUPDATER_BAUD", "115200");
    StandInDriver driver;
    DriverFault fault;
    fault.nth = 3;  // the third write block
    fault.minBytes = 3000;
    fault.end = WriteEnd::PendingFails;
    fault.code = ERROR_BAD_COMMAND;
    fault.holdWatcher = true;
    driver.arm(fault);
    zb::test::MemoryWindowView view;
    {
        DriverInUse use(driver);
        zb::StdMainThread main;
        zb::TMainWindow window(main, view, std::vector<std::string>{"COM3"});
        window.FormCreate();
        main.runEventLoop();
    }
    ::_putenv_s("ZBUPDATER_BAUD", "");
    EXPECT_TRUE(driver.fired()) << "the run never reached the third write block";
    EXPECT_EQ(readFile("status.dat"), "Error during writing");
    EXPECT_EQ(countOf(view.infoLines, "Falling back to 19200 baud"), 0);
    EXPECT_EQ(countOf(view.infoLines, kGoneLine), 1);
}

}  // namespace
