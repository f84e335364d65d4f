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

// ---- The checked search the information query takes its fields from ----

const Bytes kInfoReply = {0x0F, 0x00, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00, 0xA4, 0xAB, 0x04};
constexpr std::int32_t kInfoFields = 10;
using Search = zb::ZbBootloader::FrameSearch;

TEST(CheckedSearch, FindsTheReplyBehindBytesThatFoolThePlainSearch) {
    zbtest::Harness h;
    // A stray ETX first, a DLE that would escape the STX, a cut frame, an STX alone.
    for (const Bytes& before : {Bytes{0x04}, Bytes{0x05}, Bytes{0x0F, 0x03, 0x63}, Bytes{0x11, 0x0F}}) {
        Bytes bytes = before;
        bytes.insert(bytes.end(), kInfoReply.begin(), kInfoReply.end());
        h.receive(bytes);
        const auto found = h.loader.findCheckedFrame(static_cast<std::int32_t>(bytes.size()), kInfoFields);
        EXPECT_EQ(found.result, Search::Found);
        EXPECT_EQ(found.start, static_cast<std::int32_t>(before.size()));
        EXPECT_EQ(found.end, static_cast<std::int32_t>(bytes.size()) - 1);
    }
}

TEST(CheckedSearch, TakesOnlyWholeCheckedFramesWithinTheBytesReceived) {
    zbtest::Harness h;
    h.receive(kInfoReply);
    // An older reply that the buffer still holds beyond the bytes of this query.
    EXPECT_EQ(h.loader.findCheckedFrame(5, kInfoFields).result, Search::None);
    EXPECT_EQ(h.loader.findCheckedFrame(13, kInfoFields).result, Search::None);
    // A frame with a good CRC but shorter than the fields, as an erase reply.
    h.receive(kEraseReply);
    EXPECT_EQ(h.loader.findCheckedFrame(5, kInfoFields).result, Search::Bad);
    EXPECT_EQ(h.loader.findCheckedFrame(5, 1).result, Search::Found);
    // A wrong CRC.
    Bytes bad = kInfoReply;
    bad[11] ^= 0x01;
    h.receive(bad);
    EXPECT_EQ(h.loader.findCheckedFrame(14, kInfoFields).result, Search::Bad);
    // With the bad one first and a good one after it, the good one is taken.
    Bytes both = bad;
    both.insert(both.end(), kInfoReply.begin(), kInfoReply.end());
    h.receive(both);
    const auto found = h.loader.findCheckedFrame(static_cast<std::int32_t>(both.size()), kInfoFields);
    EXPECT_EQ(found.result, Search::Found);
    EXPECT_EQ(found.start, 14);
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
