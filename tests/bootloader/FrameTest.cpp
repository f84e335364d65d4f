// Reply search, unescaping and CRC test on the receive buffer, without a port.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ProtocolHarness.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kEraseReply = {0x0F, 0x03, 0x63, 0x30, 0x04};

TEST(ReplySearch, WorkedReplies) {
    zbtest::Harness h;
    h.receive(kEraseReply);
    EXPECT_TRUE(h.loader.checkReply(0x03));
    h.receive(kEraseReply);
    EXPECT_FALSE(h.loader.checkReply(0x04));

    // The write reply's command byte is ETX and arrives escaped; it is unescaped in place.
    h.receive({0x0F, 0x05, 0x04, 0x84, 0x40, 0x04});
    EXPECT_TRUE(h.loader.checkReply(0x04));
    EXPECT_EQ(Bytes(h.recvBuf.begin(), h.recvBuf.begin() + 5), (Bytes{0x0F, 0x04, 0x84, 0x40, 0x04}));

    // The information reply (size 512, version 1.2, start 0xF800) has no command byte.
    h.receive({0x0F, 0x00, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00, 0xA4, 0xAB, 0x04});
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

TEST(ReplySearch, SpecialCrcBytesArriveEscaped) {
    zbtest::Harness h;
    // Body 0x03 0xBC has the CRC-16 0x3304: its low byte is ETX.
    h.receive({0x0F, 0x03, 0xBC, 0x05, 0x04, 0x33, 0x04});
    EXPECT_TRUE(h.loader.checkReply(0x03));
    // Without its DLE the frame ends at that byte and fails its CRC.
    h.receive({0x0F, 0x03, 0xBC, 0x04, 0x33, 0x04});
    EXPECT_FALSE(h.loader.checkReply(0x03));
    // Body 0x03 0x05 has the CRC-16 0x05F6: DLE escaped in the data and in the CRC.
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

}  // namespace
