// The feed from the updater to the window program: frames that carry any bytes,
// only the latest state of each field, and a broken feed told apart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WindowFeed.h"

namespace zb {
namespace {

std::vector<WindowFrame> framesOf(const std::string& bytes, std::size_t piece) {
    WindowFrameReader reader;
    std::vector<WindowFrame> frames;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        EXPECT_TRUE(reader.feed(bytes.data() + at, std::min(piece, bytes.size() - at), frames));
    return frames;
}

TEST(WindowFeed, OnlyTheLatestStateOfEachFieldIsSentInTheWindowsOrder) {
    WindowFeed feed;
    feed.show();
    feed.setStatusPanel(1, "Erase address: F400");
    feed.setGauge(62, 1);
    feed.setStatusPanel(1, "Erase address: F000");
    feed.setGauge(62, 2);
    // The port text may hold any byte, a zero among them.
    const std::string port("COM3\0\xFF\x04 active", 14);
    feed.setStatusPanel(0, port);
    feed.setStatusPanel(2, "no such panel");
    feed.addMessage("Ich kann COMM nicht schlie\xDF" "en!", "Fehler");
    feed.setCaption("Progress");
    const std::string bytes = feed.take();
    EXPECT_TRUE(feed.empty());
    EXPECT_EQ(feed.take(), "");
    // Cut anywhere: the frames are the same.
    for (std::size_t piece : {bytes.size(), std::size_t{1}, std::size_t{7}}) {
        const std::vector<WindowFrame> frames = framesOf(bytes, piece);
        ASSERT_EQ(frames.size(), 6u) << piece;
        EXPECT_EQ(frames[0].kind, WindowFrameKind::Caption);
        EXPECT_EQ(frames[0].payload, "Progress");
        std::int32_t maxValue = 0;
        std::int32_t progress = 0;
        ASSERT_TRUE(ReadGaugeFrame(frames[1].payload, maxValue, progress));
        EXPECT_EQ(maxValue, 62);
        EXPECT_EQ(progress, 2);
        int panel = -1;
        std::string text;
        ASSERT_TRUE(ReadStatusPanelFrame(frames[2].payload, panel, text));
        EXPECT_EQ(panel, 0);
        EXPECT_EQ(text, port);
        ASSERT_TRUE(ReadStatusPanelFrame(frames[3].payload, panel, text));
        EXPECT_EQ(panel, 1);
        EXPECT_EQ(text, "Erase address: F000");
        EXPECT_EQ(frames[4].kind, WindowFrameKind::Show);
        std::string caption;
        ASSERT_TRUE(ReadMessageFrame(frames[5].payload, text, caption));
        EXPECT_EQ(caption, "Fehler");
        EXPECT_EQ(text, "Ich kann COMM nicht schlie\xDF" "en!");
    }
}

TEST(WindowFeed, BytesThatAreNoFeedBreakIt) {
    std::vector<WindowFrame> frames;
    WindowFrameReader unknown;
    EXPECT_FALSE(unknown.feed("\x09\0\0\0\0", 5, frames));
    // Once broken, even a good frame is not taken.
    EXPECT_FALSE(unknown.feed("\x04\0\0\0\0", 5, frames));
    WindowFrameReader oversized;
    EXPECT_FALSE(oversized.feed("\x01\xFF\xFF\xFF\x7F", 5, frames));
    EXPECT_TRUE(frames.empty());
    std::int32_t maxValue = 0;
    std::int32_t progress = 0;
    std::string text;
    std::string caption;
    int panel = 0;
    EXPECT_FALSE(ReadGaugeFrame("1234567", maxValue, progress));
    EXPECT_FALSE(ReadStatusPanelFrame(std::string("\x02x", 2), panel, text));
    EXPECT_FALSE(ReadMessageFrame(std::string("\x09\0\0\0abc", 7), text, caption));
}

}  // namespace
}  // namespace zb
