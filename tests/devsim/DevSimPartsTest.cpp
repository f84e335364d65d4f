// The emulator's pieces on their own, with times made up by the test.
#include <gtest/gtest.h>

#include <vector>

#include "Device.h"
#include "Flash.h"
#include "Frames.h"
#include "Line.h"
#include "Options.h"

namespace {

using namespace std::chrono_literals;
using namespace zb::devsim;
using Bytes = std::vector<std::uint8_t>;
using Kind = Received::Kind;

const TimePoint t0{};

std::vector<Received> feedAll(BootDecoder& d, const Bytes& bytes, TimePoint at)
{
    std::vector<Received> out;
    for (std::uint8_t b : bytes) {
        auto r = d.feed(b, at);
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

// --- Bootloader frame decoding ---

TEST(DevSimBootDecoder, LoneStxIsSyncOnlyAfterTheQuietSpell)
{
    BootDecoder d(5ms);
    EXPECT_TRUE(d.feed(0x0F, t0).empty());
    EXPECT_TRUE(d.expire(t0 + 4ms).empty());
    ASSERT_EQ(d.deadline(), t0 + 5ms);
    auto r = d.expire(t0 + 5ms);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Kind::Sync);
    EXPECT_FALSE(d.deadline());

    // The same byte followed at once by more is the start of a frame.
    auto f = feedAll(d, {0x0F, 0x00, 0x00, 0x00, 0x04}, t0 + 100ms);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].kind, Kind::Frame);
    EXPECT_EQ(f[0].body, Bytes{0x00});
}

TEST(DevSimBootDecoder, LateByteEndsThePendingSyncFirst)
{
    // expire() was not called in time: feed() must still see the quiet spell.
    BootDecoder d(5ms);
    d.feed(0x0F, t0);
    auto r = d.feed(0x0F, t0 + 50ms);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Kind::Sync);
    EXPECT_EQ(d.expire(t0 + 55ms).at(0).kind, Kind::Sync);
}

TEST(DevSimBootDecoder, EscapedBytesAreData)
{
    // Write reply: command 0x04 escaped; then a frame whose CRC bytes need escapes.
    BootDecoder d(5ms);
    auto r = feedAll(d, {0x0F, 0x05, 0x04, 0x84, 0x40, 0x04}, t0);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Kind::Frame);
    EXPECT_EQ(r[0].body, Bytes{0x04});
    Bytes wire = encodeFrame({0x05, 0x0F});
    r = feedAll(d, wire, t0 + 1s);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Kind::Frame);
    EXPECT_EQ(r[0].body, (Bytes{0x05, 0x0F}));
    EXPECT_EQ(r[0].wire, wire);
}

TEST(DevSimBootDecoder, BrokenFrames)
{
    BootDecoder d(5ms);
    // Wrong CRC.
    auto r = feedAll(d, {0x0F, 0x03, 0x63, 0x31, 0x04}, t0);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Kind::BadCrc);
    // No room for a CRC.
    r = feedAll(d, {0x0F, 0x03, 0x04}, t0 + 1s);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Kind::Junk);
    // An unescaped STX starts over: the cut frame is junk, the new one counts.
    r = feedAll(d, {0x0F, 0x03, 0x11, 0x0F, 0x03, 0x63, 0x30, 0x04}, t0 + 2s);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].kind, Kind::Junk);
    EXPECT_EQ(r[0].wire, (Bytes{0x0F, 0x03, 0x11}));
    EXPECT_EQ(r[1].kind, Kind::Frame);
    // A frame the host stopped sending is given up after the gap.
    feedAll(d, {0x0F, 0x03, 0x05}, t0 + 3s);
    EXPECT_TRUE(d.expire(t0 + 3s + kFrameGap - 1ms).empty());
    r = d.expire(t0 + 3s + kFrameGap);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Kind::Junk);
    // Bytes outside a frame come out as one run of junk.
    feedAll(d, {0x81, 0x03, 0x86}, t0 + 4s);
    r = d.expire(t0 + 5s);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].wire, (Bytes{0x81, 0x03, 0x86}));
}

TEST(DevSimBootDecoder, OverlongFrameIsDropped)
{
    BootDecoder d(5ms);
    feedAll(d, {0x0F}, t0);
    auto r = feedAll(d, Bytes(kMaxBody + 1, 0x22), t0);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Kind::Junk);
    EXPECT_EQ(r[0].wire.size(), kMaxBody + 2);
    EXPECT_FALSE(d.deadline());  // back to idle, nothing held
}

// --- Short frames ---

TEST(DevSimShortDecoder, LengthDecidesTheFrame)
{
    ShortDecoder d;
    std::vector<Received> r;
    for (std::uint8_t b : Bytes{0x93, 0x03, 0xDC})
        r = d.feed(b, t0);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, Kind::Frame);
    for (std::uint8_t b : Bytes{0x93, 0x03, 0xDD})
        r = d.feed(b, t0);
    EXPECT_EQ(r.at(0).kind, Kind::BadCrc);
    // A length below 3 cannot be a frame; it must not wait for more bytes.
    d.feed(0x81, t0);
    r = d.feed(0x02, t0);
    EXPECT_EQ(r.at(0).kind, Kind::Junk);
    EXPECT_FALSE(d.deadline());
    // A frame cut short is dropped after the gap and does not eat the next one.
    d.feed(0x81, t0);
    d.feed(0x03, t0);
    r = d.feed(0x81, t0 + kFrameGap + 1ms);
    EXPECT_EQ(r.at(0).kind, Kind::Junk);
    d.feed(0x03, t0 + kFrameGap + 1ms);
    r = d.feed(0x86, t0 + kFrameGap + 1ms);
    EXPECT_EQ(r.at(0).kind, Kind::Frame);
}

TEST(DevSimShortDecoder, EncodedRepliesAsTheHostReadsThem)
{
    EXPECT_EQ(encodeShortFrame(0x81, 3), (Bytes{0x81, 0x03, 0x86}));
    EXPECT_EQ(encodeShortFrame(0x81, 2), (Bytes{0x81, 0x02}));
    Bytes longer = encodeShortFrame(0x81, 5);
    ASSERT_EQ(longer.size(), 5u);
    ShortDecoder d;
    std::vector<Received> r;
    for (std::uint8_t b : longer)
        r = d.feed(b, t0);
    EXPECT_EQ(r.at(0).kind, Kind::Frame);
}

// --- The line ---

// When each of `count` bytes read from the pseudo-terminal at `now` arrives.
std::vector<TimePoint> arrivals(Line& line, std::size_t count, TimePoint now)
{
    std::vector<TimePoint> at;
    for (std::size_t i = 0; i < count; ++i)
        at.push_back(line.arrival(now));
    return at;
}

TEST(DevSimPacing, UnpacedPassesBytesAtOnce)
{
    Line line(0);
    Bytes in{1, 2, 3};
    auto got = arrivals(line, in.size(), t0);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2], t0);
    line.send({9, 8}, t0 + 10ms, "frame");
    EXPECT_EQ(line.sendable(t0), 0u);
    EXPECT_EQ(line.nextSendTime(), t0 + 10ms);
    EXPECT_EQ(line.sendable(t0 + 10ms), 2u);
    auto done = line.sent(2);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].label, "frame");
    EXPECT_TRUE(line.sendQueueEmpty());
}

TEST(DevSimPacing, PacedReceptionKeepsTheLineRate)
{
    Line line(10000);  // 1 ms a byte
    ASSERT_EQ(line.byteTime(), 1ms);
    Bytes in{1, 2, 3};
    auto got = arrivals(line, in.size(), t0);
    EXPECT_EQ(got[0], t0 + 1ms);
    EXPECT_EQ(got[2], t0 + 3ms);
    // Written while the line was still busy: queued behind the others.
    EXPECT_EQ(line.arrival(t0 + 1ms), t0 + 4ms);
    // After an idle spell the next byte starts when it is written.
    EXPECT_EQ(line.arrival(t0 + 50ms), t0 + 51ms);
}

TEST(DevSimPacing, PacedSendingKeepsTheLineRate)
{
    Line line(10000);
    line.send({1, 2, 3}, t0, "a");
    line.send({4}, t0, "b");
    EXPECT_EQ(line.sendable(t0 + 999us), 0u);
    EXPECT_EQ(line.sendable(t0 + 1ms), 1u);
    EXPECT_TRUE(line.sent(1).empty());
    EXPECT_EQ(line.nextSendTime(), t0 + 2ms);
    // A late wake-up hands over all that is due, without stretching what follows.
    EXPECT_EQ(line.sendable(t0 + 3500us), 2u);
    auto done = line.sent(2);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].bytes, (Bytes{1, 2, 3}));
    EXPECT_EQ(line.nextSendTime(), t0 + 4ms);
}

// --- Options ---

TEST(DevSimOptions, DefaultsAndValues)
{
    auto r = parseOptions({}, "/env");
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.dir, "/env");
    EXPECT_EQ(r.options.port, "COM3");
    EXPECT_EQ(r.options.bootStart, 0xF800u);
    EXPECT_EQ(r.options.bootSize, 512);
    EXPECT_EQ(r.options.maxBaud, 115200u);

    r = parseOptions({"--dir", "/d", "--boot-start=0x10001", "--version", "2.15", "--erase-fail", "3:wrongcmd",
                      "--wrong-echo", "2", "--no-app"},
                     "");
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.dir, "/d");
    EXPECT_EQ(r.options.bootStart, 0x10001u);
    EXPECT_EQ(r.options.versionMajor, 2);
    EXPECT_EQ(r.options.versionMinor, 15);
    EXPECT_EQ(r.options.eraseFail.command, 3u);
    EXPECT_EQ(r.options.eraseFail.mode, FailMode::WrongCmd);
    EXPECT_EQ(r.options.wrongEcho, 2u);
    EXPECT_EQ(r.options.wrongEchoByte, 0x00);
    EXPECT_TRUE(r.options.noApp);
    EXPECT_FALSE(r.options.holdAfter.has_value());

    r = parseOptions({"--flip-bit", "4000:7", "--hold-after", "0", "--write-reply-twice", "1"}, "/env");
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.flipByte, 4000u);
    EXPECT_EQ(r.options.flipBit, 7);
    EXPECT_EQ(r.options.holdAfter, 0u) << "0 holds the line from the start";
    EXPECT_EQ(r.options.writeReplyTwice, 1u);
    EXPECT_EQ(parseOptions({"--flip-bit", "9"}, "/env").options.flipBit, 0) << "bit 0 by default";
    EXPECT_EQ(parseOptions({"--info-noise", "04fF05"}, "/env").options.infoNoise, (std::vector<std::uint8_t>{4, 0xFF, 5}));
}

TEST(DevSimOptions, Refused)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--nonsense"}, {"--baud"}, {"--boot-size", "70000"}, {"--version", "1"},
             {"--version", "1.256"}, {"--erase-fail", "0:silent"}, {"--write-fail", "1:loud"},
             {"--boot-start", "F800"}, {"--port", "a/b"}, {"--unplug-after", "0"}, {"--no-app=1"}, {"COM3"},
             {"--flip-bit", "0"}, {"--flip-bit", "5:8"}, {"--erase-reply-twice", "0"}, {"--hold-after", "-1"},
             {"--no-app=true"}, {"--no-app", "--version"}, {"--dir", ""}, {"-no-app"}, {"--max-baud", "0"},
             {"--info-noise", "0"}, {"--info-noise", "0x04"}, {"--info-noise", "+4"}, {"--info-noise", ""}}) {
        EXPECT_NE(parseOptions(args, "/env").error, "") << args[0];
    }
    EXPECT_NE(parseOptions({}, "").error, "");  // no folder at all
}

TEST(DevSimOptions, RepeatedOptionLastCounts)
{
    const auto r = parseOptions({"--no-echo", "1", "--no-echo=2", "--no-app", "--no-app"}, "/env");
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.noEcho, 2u);
    EXPECT_TRUE(r.options.noApp);
}

TEST(DevSimOptions, BadValueMessageNamesOptionValueAndWhatIsExpected)
{
    const std::string error = parseOptions({"--boot-size", "70000"}, "/env").error;
    EXPECT_NE(error.find("--boot-size"), std::string::npos) << error;
    EXPECT_NE(error.find("'70000'"), std::string::npos) << error;
    EXPECT_NE(error.find("65535"), std::string::npos) << error;
}

// "--version" alone asks for the program's version; with a value it is the
// bootloader version, as always. "--help" needs no folder.
TEST(DevSimOptions, InformationalArguments)
{
    auto r = parseOptions({"--version"}, "");
    EXPECT_EQ(r.error, "");
    EXPECT_TRUE(r.options.programVersion);

    r = parseOptions({"--version", "3.4"}, "/env");
    ASSERT_EQ(r.error, "");
    EXPECT_FALSE(r.options.programVersion);
    EXPECT_EQ(r.options.versionMajor, 3);

    r = parseOptions({"--help"}, "");
    EXPECT_EQ(r.error, "");
    EXPECT_TRUE(r.options.help);
    EXPECT_NE(usageText().find("--write-reply-unescaped"), std::string::npos);
}

// --- Device commands the device refuses ---

TEST(DevSimDevice, OutOfRangeCommandsAreNotAnswered)
{
    Options options;
    options.noApp = true;
    Transcript transcript("", t0);
    Device device(options, Bytes(kFlashSize, 0xFF), transcript);
    TimePoint at = t0;
    auto send = [&](const Bytes& body) {
        at += 1s;
        for (std::uint8_t b : encodeFrame(body))
            device.arrived(b, at, 19200);
        return device.takeReplies();
    };
    Bytes lastRow(6 + 64, 0x00);
    lastRow[0] = 0x04;
    lastRow[3] = 0x02;    // address 0x020000: just past the end
    lastRow[5] = 1;
    EXPECT_TRUE(send(lastRow).empty());
    lastRow[1] = 0xC0;    // 0x01FFC0: the last row
    lastRow[2] = 0xFF;
    lastRow[3] = 0x01;
    EXPECT_EQ(send(lastRow).size(), 1u);
    EXPECT_EQ(device.flash().back(), 0x00);

    EXPECT_TRUE(send({0x03, 0xFF, 0x01, 0x00, 0x00, 16}).empty());  // region below address 0
    EXPECT_TRUE(send({0x03, 0x00, 0x00, 0x02, 0x00, 16}).empty());  // above the flash
    EXPECT_TRUE(send({0x04, 0x00, 0x00, 0x00, 0x00, 2, 0x00}).empty());  // data shorter than 2 rows
    EXPECT_TRUE(send({0x00, 0x00}).empty());                            // information with a parameter
    EXPECT_TRUE(send({0x07}).empty());                                  // unknown command
    EXPECT_EQ(send({0x03, 0xFF, 0xFF, 0x01, 0x00, 1}).size(), 1u);      // erases the last row again
    EXPECT_EQ(device.flash().back(), 0xFF);
}

// --- Line speed ---

// A device in its bootloader, fed bytes at made-up times and line speeds.
struct Bootloader {
    static Options inBootloader(unsigned pacing)
    {
        Options o;
        o.noApp = true;
        o.baud = pacing;
        return o;
    }
    explicit Bootloader(unsigned pacing = 0) : options(inBootloader(pacing)) {}
    // A lone sync byte at `baud`; returns the replies once its quiet spell is over.
    std::vector<Device::Reply> sync(TimePoint at, unsigned baud)
    {
        device.arrived(0x0F, at, baud);
        device.expire(at + 100ms);
        return device.takeReplies();
    }
    Options options;
    Transcript transcript{"", t0};
    Device device{options, Bytes(kFlashSize, 0xFF), transcript};
};

TEST(DevSimSpeed, SilenceBecomesABreakAfter900Milliseconds)
{
    Bootloader b;
    auto echo = b.sync(t0, 57600);
    ASSERT_EQ(echo.size(), 1u);
    EXPECT_EQ(echo[0].baud, 57600u);
    EXPECT_EQ(b.device.deadline(), t0 + kBreakSilence);
    // Just short of a break: still at 57600, so a sync at 19200 arrives garbled.
    TimePoint last = t0 + kBreakSilence - 1ms;
    EXPECT_TRUE(b.sync(last, 19200).empty());
    EXPECT_EQ(b.device.baud(), 57600u);
    // Silence from that byte on: a break, after which the next sync measures anew.
    b.device.expire(last + kBreakSilence);
    EXPECT_FALSE(b.device.deadline()) << "nothing to wait for until a byte comes";
    echo = b.sync(last + 5s, 19200);
    ASSERT_EQ(echo.size(), 1u);
    EXPECT_EQ(echo[0].bytes, Bytes{0x0F});
    EXPECT_EQ(echo[0].baud, 19200u);
}

TEST(DevSimSpeed, PaceAndSyncQuietFollowTheLock)
{
    // Paced from 115200, then locked to 1200: the information query's bytes come
    // 8.3 ms apart, which must still read as one frame, not as a sync byte.
    Bootloader b(115200);
    EXPECT_EQ(b.device.pacingBaud(), 115200u);
    ASSERT_EQ(b.sync(t0, 1200).size(), 1u);
    EXPECT_EQ(b.device.pacingBaud(), 1200u);
    TimePoint at = t0 + 1s;
    for (std::uint8_t byte : Bytes{0x0F, 0x00, 0x00, 0x00, 0x04}) {
        b.device.arrived(byte, at, 1200);
        at += byteTimeAt(1200);
    }
    b.device.expire(at + 1s);
    auto replies = b.device.takeReplies();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].bytes.size(), 14u) << "the information reply";
    EXPECT_EQ(Bootloader().device.pacingBaud(), 0u) << "no pacing without --baud";
}

}  // namespace
