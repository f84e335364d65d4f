// Reply search, unescaping and CRC test on the receive buffer, and the bytes that
// the connection puts on the line, read from a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ProtocolHarness.h"
#include "PtyLine.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

const Bytes kEraseReply = {0x0F, 0x03, 0x63, 0x30, 0x04};
const Bytes kWriteReply = {0x0F, 0x05, 0x04, 0x84, 0x40, 0x04};
const Bytes kInfoReply = {0x0F, 0x00, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00, 0xA4, 0xAB, 0x04};

// ---- Reply search on the receive buffer ----

TEST(ReplySearch, EraseReplyPassesForItsOwnCommandOnly) {
    zbtest::Harness h;
    h.receive(kEraseReply);
    EXPECT_TRUE(h.loader.checkReply(0x03));
    h.receive(kEraseReply);
    EXPECT_FALSE(h.loader.checkReply(0x04));
}

TEST(ReplySearch, WriteReplyCommandByteIsUnescaped) {
    zbtest::Harness h;
    h.receive(kWriteReply);
    EXPECT_TRUE(h.loader.checkReply(0x04));
    // Unescaped in place: STX, command, CRC, ETX.
    EXPECT_EQ(Bytes(h.recvBuf.begin(), h.recvBuf.begin() + 5), (Bytes{0x0F, 0x04, 0x84, 0x40, 0x04}));
}

TEST(ReplySearch, InformationReplyExamplePassesSearchAndCrc) {
    zbtest::Harness h;
    h.receive(kInfoReply);
    ASSERT_TRUE(h.loader.findFrame());
    EXPECT_TRUE(h.loader.replyCrcOk());
}

TEST(ReplySearch, EtxAtPositionZeroMeansNoFrameEvenBeforeAValidOne) {
    zbtest::Harness h;
    Bytes bytes = {0x04};
    bytes.insert(bytes.end(), kEraseReply.begin(), kEraseReply.end());
    h.receive(bytes);
    EXPECT_FALSE(h.loader.findFrame());
}

TEST(ReplySearch, CrcByteEqualToEtxArrivesEscaped) {
    // Body 0x03 0xBC has the CRC-16 0x3304: its low byte is ETX.
    zbtest::Harness h;
    h.receive({0x0F, 0x03, 0xBC, 0x05, 0x04, 0x33, 0x04});
    EXPECT_TRUE(h.loader.checkReply(0x03));
    // Without its DLE the frame ends at that byte and fails its CRC.
    h.receive({0x0F, 0x03, 0xBC, 0x04, 0x33, 0x04});
    EXPECT_FALSE(h.loader.checkReply(0x03));
}

TEST(ReplySearch, EscapedDleIsOneDataByte) {
    // Body 0x03 0x05 has the CRC-16 0x05F6, so DLE stands escaped twice.
    zbtest::Harness h;
    h.receive({0x0F, 0x03, 0x05, 0x05, 0xF6, 0x05, 0x05, 0x04});
    EXPECT_TRUE(h.loader.checkReply(0x03));
}

TEST(ReplySearch, CorruptedCrcFails) {
    zbtest::Harness h;
    h.receive({0x0F, 0x03, 0x63, 0x31, 0x04});
    EXPECT_FALSE(h.loader.checkReply(0x03));
}

TEST(ReplySearch, StaleFrameFurtherOnIsFoundWhenNewBytesHaveNoEtx) {
    zbtest::Harness h;
    std::copy(kEraseReply.begin(), kEraseReply.end(), h.recvBuf.begin() + 40);
    h.receive({0x0F, 0x03, 0x63});  // a reply cut short
    ASSERT_TRUE(h.loader.findFrame());
    EXPECT_TRUE(h.loader.replyCrcOk());
}

TEST(ReplySearch, OnlyTheFirst4096BytesAreSearched) {
    zbtest::Harness h;
    std::fill(h.recvBuf.begin(), h.recvBuf.end(), 0xAA);
    h.recvBuf[4096] = 0x04;
    EXPECT_FALSE(h.loader.findFrame());
    // A DLE in the last searched place must not make the search look behind it.
    h.recvBuf[4095] = 0x05;
    EXPECT_FALSE(h.loader.findFrame());
}

// ---- Replies that must not lead the search outside the buffer ----

TEST(ReplyBounds, FrameWithoutRoomForCrcFails) {
    zbtest::Harness h;
    for (const Bytes& reply : {Bytes{0x0F, 0x04}, Bytes{0x0F, 0x00, 0x04}, Bytes{0x00, 0x04}}) {
        h.receive(reply);
        EXPECT_FALSE(h.loader.checkReply(0x00));
    }
}

TEST(ReplyBounds, FrameStartLeftBehindTheEtxByAnEarlierFrame) {
    zbtest::Harness h;
    std::fill(h.recvBuf.begin(), h.recvBuf.begin() + 3000, 0xAA);
    std::copy(kEraseReply.begin(), kEraseReply.end(), h.recvBuf.begin() + 3000);
    ASSERT_TRUE(h.loader.findFrame());  // the frame starts at 3000
    // Now an ETX without an STX before it: the frame would start behind its end,
    // with an empty CRC range that the two zero bytes would match.
    h.receive({0xAA, 0x03, 0x00, 0x00, 0x04});
    EXPECT_FALSE(h.loader.checkReply(0x03));
}

// ---- Bytes on the line ----

class LineBytes : public ::testing::Test {
protected:
    void SetUp() override {
        h.loader.setBaudRate("19200");
        h.loader.setPortNumber(line.port());
        ASSERT_TRUE(h.loader.getCommStat().Open);
    }

    zbtest::PtyLine line;
    zbtest::Harness h;
};

TEST_F(LineBytes, InformationCommandAndTheExampleReply) {
    h.loader.setRawMode(true);
    line.send(kInfoReply);
    EXPECT_TRUE(h.loader.getBootloaderInfo());
    EXPECT_EQ(line.read(5, 2000ms), (Bytes{0x0F, 0x00, 0x00, 0x00, 0x04}));
    EXPECT_EQ(h.info.lines, (std::vector<std::string>{"getBootloaderInfo OK", "Boot block size: 0512 bytes",
                                                      "Bootloader version 1.02", "Bootloader start address 00F800"}));
    EXPECT_EQ(h.loader.bootStart(), 0xF800u);
}

TEST_F(LineBytes, EraseCommandFrame) {
    h.loader.setRawMode(true);
    line.send(kEraseReply);
    EXPECT_TRUE(h.loader.eraseBlock(0xF7FF, 16));
    EXPECT_EQ(line.read(10, 2000ms), (Bytes{0x0F, 0x03, 0xFF, 0xF7, 0x00, 0x00, 0x10, 0x1E, 0x48, 0x04}));
}

TEST_F(LineBytes, SpecialCrcByteIsEscapedOnSending) {
    // The erase of 0x13FF has the CRC-16 0x0605: its low byte is DLE.
    h.loader.setRawMode(true);
    line.send(kEraseReply);
    EXPECT_TRUE(h.loader.eraseBlock(0x13FF, 16));
    EXPECT_EQ(line.read(11, 2000ms), (Bytes{0x0F, 0x03, 0xFF, 0x13, 0x00, 0x00, 0x10, 0x05, 0x05, 0x06, 0x04}));
}

TEST_F(LineBytes, WriteFrameEscapesDataAndTheCrcCoversItUnescaped) {
    h.loader.setRawMode(true);
    Bytes data(56 * 64, 0x11);
    data[0] = 0x0F;
    data[1] = 0x04;
    data[2] = 0x05;
    data[3583] = 0x04;
    line.send(kWriteReply);
    EXPECT_TRUE(h.loader.writeBlock(0x0E00, 56, data.data()));

    // 0x04 (command) is escaped; address 0x000E00; 56 rows; three escapes at the start
    // of the data and one at its end.
    const Bytes wire = line.read(3594 + 5, 3000ms);
    ASSERT_EQ(wire.size(), 3594u + 5);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 15),
              (Bytes{0x0F, 0x05, 0x04, 0x00, 0x0E, 0x00, 0x00, 0x38, 0x05, 0x0F, 0x05, 0x04, 0x05, 0x05, 0x11}));
    zb::Crc16 crc;
    crc.Set(0);
    for (std::uint8_t b : Bytes{0x04, 0x00, 0x0E, 0x00, 0x00, 0x38}) crc.Update(b);
    for (std::uint8_t b : data) crc.Update(b);
    const std::uint16_t sum = crc.Get();
    ASSERT_EQ(sum, 0x18F8);  // neither byte special: the CRC goes out as it is
    EXPECT_EQ(Bytes(wire.end() - 5, wire.end()), (Bytes{0x05, 0x04, 0xF8, 0x18, 0x04}));
}

// The write time-out as the wait sees it: read by a call posted before the command,
// which runs at the wait's first round, after the timer has been started.
class WriteTimeOut : public LineBytes {
protected:
    std::uint32_t timeOutFor(std::uint8_t fill) {
        h.loader.setRawMode(true);
        const Bytes data(56 * 64, fill);
        std::uint32_t seen = 0;
        h.main.post([&] { seen = h.loader.timerInterval(); });
        line.send(kWriteReply);
        EXPECT_TRUE(h.loader.writeBlock(0, 56, data.data()));
        return seen;
    }
};

TEST_F(WriteTimeOut, OrdinaryFrameAt19200KeepsTheFixedTime) {
    EXPECT_EQ(timeOutFor(0x11), 2500u);  // 3594 bytes: 1872 ms on the line
}

TEST_F(WriteTimeOut, EscapedFrameGetsItsLineTimeAndMargin) {
    // 3584 data bytes 0x0F, all escaped: 7179 bytes, 3739.1 ms at 19200 baud.
    EXPECT_EQ(timeOutFor(0x0F), 3740u + 600u);
}

TEST_F(LineBytes, ProbeCommandAndAShortReplyWithData) {
    zb::Crc8 acc;
    Bytes reply = {0xA1, 0x05, 0x11, 0x22, 0x00};
    reply[4] = zb::crc8Block(acc, reply.data(), 4);
    line.answerAfter(3, reply);
    EXPECT_TRUE(h.loader.probeDevice());
    EXPECT_EQ(line.takeAnswered(), (Bytes{0x81, 0x03, 0x86}));
    EXPECT_EQ(h.loader.getCommStat().LastCrc8, reply[4]);
}

TEST_F(LineBytes, ShortReplyWithBadCrc8FailsAtOnce) {
    const std::uint8_t timeOutsBefore = h.loader.getCommStat().TimeOutCount;
    line.answerAfter(3, {0xA1, 0x03, 0x00});
    EXPECT_FALSE(h.loader.probeDevice());
    const zb::CommStat stat = h.loader.getCommStat();
    EXPECT_TRUE(stat.TimedOut);
    // Only the discard period ran out on the timer; the reply ended its own wait.
    EXPECT_EQ(stat.TimeOutCount, timeOutsBefore + 1);
    zb::Crc8 acc;
    const Bytes head = {0xA1, 0x03};
    EXPECT_EQ(stat.LastCrc8, zb::crc8Block(acc, head.data(), 2));
}

TEST_F(LineBytes, ShortReplyLengthBelowThreeFailsAtOnce) {
    std::uint8_t expectedTimeOuts = h.loader.getCommStat().TimeOutCount;
    for (std::uint8_t length : Bytes{0, 1, 2}) {
        line.answerAfter(3, {0xA1, length});
        EXPECT_FALSE(h.loader.probeDevice()) << "length " << int(length);
        line.takeAnswered();
        const zb::CommStat stat = h.loader.getCommStat();
        EXPECT_TRUE(stat.TimedOut);
        EXPECT_FALSE(stat.HeaderStage);
        // One discard period each; the 1000 ms reply timer never fired.
        ++expectedTimeOuts;
        EXPECT_EQ(stat.TimeOutCount, expectedTimeOuts) << "length " << int(length);
        EXPECT_EQ(h.loader.timerInterval(), 0u);
    }
}

TEST_F(LineBytes, DiscardTakesAtMostFiveWaitingBytesInOnePeriod) {
    line.send(Bytes(6, 0x0F));
    const std::uint8_t timeOutsBefore = h.loader.getCommStat().TimeOutCount;
    h.loader.discardInput();
    EXPECT_EQ(h.loader.getCommStat().TimeOutCount, timeOutsBefore + 1);
    // At least the sixth 0x0F is still waiting and answers the first sync byte.
    h.loader.setRawMode(true);
    EXPECT_TRUE(h.loader.establishBaudRate());
    EXPECT_EQ(h.info.lines, std::vector<std::string>{"Baud rate established"});
}

}  // namespace
