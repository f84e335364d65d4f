// The traffic log "ZbComm.log" in the working directory.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>

#include "PtyPair.h"
#include "StdMainThread.h"
#include "TZbComm.h"

using namespace std::chrono_literals;
using zb::test::readFile;

namespace {

struct TrafficLog : ::testing::Test {
    zb::test::TempWorkDir dir;
    zb::test::PtyPair pty;
    zb::StdMainThread main;
    zb::TZbComm comm{main};
    int calls = 0;
    void SetUp() override {
        comm.OnDataReady = [this](zb::TZbComm*) { ++calls; };
        comm.SetPortNumber("COM3");
    }
    std::string log() const { return readFile(dir.path() + "/ZbComm.log"); }
    void closeLog() { comm.SetLogState(false); }
};

}  // namespace

TEST_F(TrafficLog, WriteAndReadRecords) {
    ASSERT_TRUE(comm.OpenComm());
    comm.SetLogState(true);
    const std::uint8_t out[] = {0x01, 0x02, 0x03};
    ASSERT_TRUE(comm.WriteComm(out, 3));
    std::uint8_t buf[16];
    std::fill(std::begin(buf), std::end(buf), 0x77);
    ASSERT_TRUE(comm.ReadComm(buf, 2));
    pty.send({0x41, 0x42});
    ASSERT_TRUE(main.processUntil([&] { return calls == 1; }, 3000ms));
    closeLog();
    const std::string expected = std::string("W-\x01\x02\x03\n", 6) + std::string("R-AB\0\x77\x77\x77\x77\x77\n", 11);
    EXPECT_EQ(log(), expected);
}

TEST_F(TrafficLog, ReadRecordShowsOnlyTheFirstEightBytes) {
    ASSERT_TRUE(comm.OpenComm());
    comm.SetLogState(true);
    std::uint8_t buf[16] = {};
    ASSERT_TRUE(comm.ReadComm(buf, 10));
    pty.send({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    ASSERT_TRUE(main.processUntil([&] { return calls == 1; }, 3000ms));
    closeLog();
    EXPECT_EQ(log(), "R-01234567\n");
}

TEST_F(TrafficLog, NoRecordOnAClosedPortAndNoneAfterCloseUntilSwitchedOnAgain) {
    comm.SetLogState(true);
    const std::uint8_t out[] = {0x09};
    EXPECT_FALSE(comm.WriteComm(out, 1));
    ASSERT_TRUE(comm.OpenComm());
    ASSERT_TRUE(comm.WriteComm(out, 1));
    ASSERT_TRUE(comm.CloseComm());
    ASSERT_TRUE(comm.OpenComm());
    ASSERT_TRUE(comm.WriteComm(out, 1));
    EXPECT_TRUE(comm.LogState()) << "the flag stays, the file is closed";
    EXPECT_EQ(log(), "W-\x09\n");
    // Switching it on again starts a new, empty file.
    comm.SetLogState(true);
    EXPECT_EQ(log(), "");
    ASSERT_TRUE(comm.WriteComm(out, 1));
    comm.KillComm();
    EXPECT_EQ(log(), "W-\x09\n");
}

TEST_F(TrafficLog, SwitchingOnTwiceTruncates) {
    ASSERT_TRUE(comm.OpenComm());
    comm.SetLogState(true);
    const std::uint8_t out[] = {0x0A, 0x0B};
    ASSERT_TRUE(comm.WriteComm(out, 2));
    comm.SetLogState(true);
    closeLog();
    EXPECT_EQ(log(), "");
}

TEST_F(TrafficLog, UncreatableFileDisablesLoggingSilently) {
    ASSERT_EQ(::mkdir((dir.path() + "/ZbComm.log").c_str(), 0755), 0);  // the name is taken by a folder
    ASSERT_TRUE(comm.OpenComm());
    comm.SetLogState(true);
    EXPECT_TRUE(comm.LogState());
    const std::uint8_t out[] = {0x01};
    EXPECT_TRUE(comm.WriteComm(out, 1));
    EXPECT_EQ(comm.GetLastError(), 0);
}
