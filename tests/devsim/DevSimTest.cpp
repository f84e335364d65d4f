// The emulator as the updater meets it: started as a program, spoken to over the
// published port.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Crc.h"
#include "DevSimProcess.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using zb::test::DevSimProcess;

constexpr std::size_t kFlashSize = 131072;

// The host's side of the line: the published port in raw mode.
class RawPort {
public:
    explicit RawPort(const std::filesystem::path& path, speed_t speed = B19200)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        if (fd_ < 0)
            throw std::runtime_error("open " + path.string() + ": " + std::strerror(errno));
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ::tcsetattr(fd_, TCSANOW, &t);
        setSpeed(speed);
    }

    // Changes the speed in place, as the updater does on its open port.
    void setSpeed(speed_t speed)
    {
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        if (::tcsetattr(fd_, TCSANOW, &t) != 0)
            throw std::runtime_error(std::string("tcsetattr: ") + std::strerror(errno));
    }
    ~RawPort() { ::close(fd_); }
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;

    void send(const Bytes& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                throw std::runtime_error(std::string("write: ") + std::strerror(errno));
            if (n > 0)
                done += static_cast<std::size_t>(n);
        }
    }

    // Reads until `count` bytes have come or `limit` has passed.
    Bytes receive(std::size_t count, std::chrono::milliseconds limit = 3000ms)
    {
        Bytes got;
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (got.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left <= 0ms)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            std::uint8_t buffer[4096];
            ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0)
                got.insert(got.end(), buffer, buffer + n);
            else if (p.revents & (POLLHUP | POLLERR))
                break;  // the line is gone
        }
        return got;
    }

    // Everything that comes within `period` (to show that nothing comes).
    Bytes receiveFor(std::chrono::milliseconds period) { return receive(SIZE_MAX, period); }

    int fd() const { return fd_; }

private:
    int fd_;
};

// A bootloader frame built here, independently of the emulator's own encoder.
Bytes frame(const Bytes& body, std::uint16_t crcXor = 0)
{
    zb::Crc16 crc;
    crc.Set(0);
    for (std::uint8_t b : body)
        crc.Update(b);
    std::uint16_t value = static_cast<std::uint16_t>(crc.Get() ^ crcXor);
    Bytes plain = body;
    plain.push_back(static_cast<std::uint8_t>(value & 0xFF));
    plain.push_back(static_cast<std::uint8_t>(value >> 8));
    Bytes wire{0x0F};
    for (std::uint8_t b : plain) {
        if (b == 0x0F || b == 0x04 || b == 0x05)
            wire.push_back(0x05);
        wire.push_back(b);
    }
    wire.push_back(0x04);
    return wire;
}

Bytes eraseFrame(std::uint32_t top, std::uint8_t rows = 16)
{
    return frame({0x03, static_cast<std::uint8_t>(top), static_cast<std::uint8_t>(top >> 8),
                  static_cast<std::uint8_t>(top >> 16), 0x00, rows});
}

Bytes writeFrame(std::uint32_t address, const Bytes& data)
{
    Bytes body{0x04, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
               static_cast<std::uint8_t>(address >> 16), 0x00, static_cast<std::uint8_t>(data.size() / 64)};
    body.insert(body.end(), data.begin(), data.end());
    return frame(body);
}

const Bytes kInformation{0x0F, 0x00, 0x00, 0x00, 0x04};
const Bytes kEraseReply{0x0F, 0x03, 0x63, 0x30, 0x04};
const Bytes kWriteReply{0x0F, 0x05, 0x04, 0x84, 0x40, 0x04};
const Bytes kProbe{0x81, 0x03, 0x86};
const Bytes kReset{0x93, 0x03, 0xDC};

// A block rich in the three special values, so that escaping is exercised.
Bytes pattern(std::size_t size)
{
    const std::uint8_t special[] = {0x0F, 0x04, 0x05};
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = (i % 4 == 0) ? special[i / 4 % 3] : static_cast<std::uint8_t>(i * 7);
    return data;
}

Bytes sync(RawPort& port)
{
    port.send({0x0F});
    return port.receive(1, 500ms);
}

bool transcriptHas(const DevSimProcess& device, const std::string& dir, const std::string& kind)
{
    auto lines = device.transcript();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const auto& l) { return l.dir == dir && l.kind == kind; });
}

// --- Application face ---

TEST(DevSimApplication, AnswersProbeAndResetThenIsTheBootloader)
{
    DevSimProcess device;
    RawPort port(device.devicePath());

    EXPECT_TRUE(sync(port).empty()) << "the application must not echo a sync byte";
    port.send(kProbe);
    EXPECT_EQ(port.receive(3), kProbe);  // code echoed, length 3, CRC-8 0x86
    port.send(kReset);
    EXPECT_EQ(port.receive(3), kReset);
    EXPECT_EQ(sync(port), Bytes{0x0F});
    port.send(kProbe);
    EXPECT_TRUE(port.receiveFor(300ms).empty()) << "the bootloader must not answer a short frame";
}

TEST(DevSimApplication, ReplyFaults)
{
    {
        DevSimProcess device({"--bad-crc8"});
        RawPort port(device.devicePath());
        port.send(kProbe);
        EXPECT_EQ(port.receive(3), (Bytes{0x81, 0x03, 0x86 ^ 0xFF}));
    }
    {
        DevSimProcess device({"--bad-crc8-reset"});
        RawPort port(device.devicePath());
        port.send(kProbe);
        EXPECT_EQ(port.receive(3), kProbe);
        port.send(kReset);
        EXPECT_EQ(port.receive(3), (Bytes{0x93, 0x03, 0xDC ^ 0xFF}));
    }
    {
        DevSimProcess device({"--no-reset-reply"});
        RawPort port(device.devicePath());
        port.send(kProbe);
        EXPECT_EQ(port.receive(3), kProbe);
        port.send(kReset);
        EXPECT_TRUE(port.receiveFor(300ms).empty());
        EXPECT_TRUE(sync(port).empty()) << "an ignored reset leaves the application running";
    }
    {
        DevSimProcess device({"--app-reply-length", "2"});
        RawPort port(device.devicePath());
        port.send(kProbe);
        EXPECT_EQ(port.receiveFor(300ms), (Bytes{0x81, 0x02}));
    }
}

TEST(DevSimApplication, BadCrc8CommandIsIgnored)
{
    DevSimProcess device;
    RawPort port(device.devicePath());
    port.send({0x93, 0x03, 0xDD});
    EXPECT_TRUE(port.receiveFor(300ms).empty());
    port.send(kProbe);  // the frame before was complete, so this one is read afresh
    EXPECT_EQ(port.receive(3), kProbe);
    device.stop();
    EXPECT_TRUE(transcriptHas(device, "rx", "short-badcrc"));
}

// --- Bootloader face ---

TEST(DevSimBootloader, InformationReplyForDefaults)
{
    DevSimProcess device({"--no-app"});
    RawPort port(device.devicePath());
    port.send(kInformation);
    EXPECT_EQ(port.receive(14), (Bytes{0x0F, 0x00, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00,
                                       0xA4, 0xAB, 0x04}));
}

TEST(DevSimBootloader, InformationReplyForGivenValuesIsEscaped)
{
    // Size 0x0405, version 15.4 and start 0x10004 put every special value into
    // the fields.
    DevSimProcess device({"--no-app", "--boot-size", "0x0405", "--version", "15.4", "--boot-start", "0x10004"});
    RawPort port(device.devicePath());
    port.send(kInformation);
    Bytes expected = frame({0x05, 0x04, 0x0F, 0x04, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00});
    EXPECT_EQ(port.receive(expected.size()), expected);
    EXPECT_TRUE(port.receiveFor(100ms).empty());
}

TEST(DevSimBootloader, InformationReplyWithBadCrc)
{
    DevSimProcess device({"--no-app", "--info-bad-crc"});
    RawPort port(device.devicePath());
    port.send(kInformation);
    EXPECT_EQ(port.receive(14), frame({0x00, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00}, 0xFFFF));
}

TEST(DevSimBootloader, EraseAndWriteChangeTheFlash)
{
    // Start from a flash with old contents everywhere.
    Bytes old(kFlashSize, 0x00);
    for (std::size_t i = 0; i < old.size(); ++i)
        old[i] = static_cast<std::uint8_t>(0xA5 ^ (i >> 4));
    std::string input = (std::filesystem::temp_directory_path() / "devsim-flash-XXXXXX").string();
    int fd = ::mkstemp(input.data());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, old.data(), old.size()), static_cast<ssize_t>(old.size()));
    ::close(fd);
    DevSimProcess device({"--no-app", "--flash-in", input});
    std::filesystem::remove(input);
    RawPort port(device.devicePath());
    for (std::uint32_t top : {0x0FFFu, 0x0BFFu, 0x07FFu, 0x03FFu}) {  // 0x0000 .. 0x0FFF, top down
        port.send(eraseFrame(top));
        EXPECT_EQ(port.receive(5), kEraseReply);
    }
    Bytes data = pattern(56 * 64);
    port.send(writeFrame(0x0000, data));
    EXPECT_EQ(port.receive(6), kWriteReply);
    // Writing over bytes that were not erased can only clear bits.
    port.send(writeFrame(0x1000, Bytes(64, 0x3C)));
    EXPECT_EQ(port.receive(6), kWriteReply);

    Bytes running = device.flash();  // dumped after each command
    EXPECT_EQ(device.stop(), 0);
    Bytes flash = device.flash();
    ASSERT_EQ(flash.size(), kFlashSize);
    EXPECT_EQ(running, flash);

    Bytes expected = old;
    std::fill(expected.begin(), expected.begin() + 0x1000, 0xFF);
    std::copy(data.begin(), data.end(), expected.begin());  // 0x0000 .. 0x0DFF
    for (std::size_t i = 0x1000; i < 0x1040; ++i)
        expected[i] = static_cast<std::uint8_t>(old[i] & 0x3C);
    for (std::size_t i = 0; i < kFlashSize; ++i)
        ASSERT_EQ(flash[i], expected[i]) << "at address " << i;
}

TEST(DevSimBootloader, BadCrcFrameIsNotAnswered)
{
    DevSimProcess device({"--no-app"});
    RawPort port(device.devicePath());
    port.send(frame({0x03, 0xFF, 0x03, 0x00, 0x00, 0x10}, 0x0001));
    EXPECT_TRUE(port.receiveFor(300ms).empty());
    port.send(eraseFrame(0x03FF));
    EXPECT_EQ(port.receive(5), kEraseReply);
    device.stop();
    EXPECT_TRUE(transcriptHas(device, "rx", "frame-badcrc"));
    EXPECT_EQ(device.flash(), Bytes(kFlashSize, 0xFF));  // erasing erased flash
}

TEST(DevSimBootloader, SyncEchoFaults)
{
    // At a fast line: the faults act after the bootloader has locked to it.
    DevSimProcess device({"--no-app", "--no-echo", "1", "--wrong-echo", "2:0xFF"});
    RawPort port(device.devicePath(), B115200);
    EXPECT_TRUE(sync(port).empty());
    EXPECT_EQ(sync(port), Bytes{0xFF});
    EXPECT_EQ(sync(port), Bytes{0xFF});
    EXPECT_EQ(sync(port), Bytes{0x0F});
    // Frames are answered as usual meanwhile.
    port.send(kInformation);
    EXPECT_EQ(port.receive(14).size(), 14u);
}

TEST(DevSimBootloader, SilentBootloaderAnswersNothing)
{
    DevSimProcess device({"--no-app", "--silent-bootloader"});
    RawPort port(device.devicePath());
    EXPECT_TRUE(sync(port).empty());
    port.send(kInformation);
    port.send(eraseFrame(0x03FF));
    EXPECT_TRUE(port.receiveFor(300ms).empty());
}

TEST(DevSimBootloader, EraseFaultsHitTheNumberedCommand)
{
    DevSimProcess device({"--no-app", "--erase-fail", "2:silent", "--write-fail", "1:wrongcmd"});
    RawPort port(device.devicePath());
    port.send(eraseFrame(0x07FF));
    EXPECT_EQ(port.receive(5), kEraseReply);
    port.send(eraseFrame(0x03FF));
    EXPECT_TRUE(port.receiveFor(300ms).empty());
    port.send(eraseFrame(0x03FF));
    EXPECT_EQ(port.receive(5), kEraseReply);
    port.send(writeFrame(0, Bytes(64, 0x00)));
    EXPECT_EQ(port.receive(6), (Bytes{0x0F, 0x05, 0x05, 0xA5, 0x50, 0x04}));  // command 0x05
}

TEST(DevSimBootloader, ReplyShapeFaults)
{
    {
        DevSimProcess device({"--no-app", "--erase-fail", "1:badcrc", "--write-reply-unescaped"});
        RawPort port(device.devicePath());
        port.send(eraseFrame(0x03FF));
        EXPECT_EQ(port.receive(5), (Bytes{0x0F, 0x03, 0x9C, 0xCF, 0x04}));
        port.send(writeFrame(0, Bytes(64, 0x00)));
        EXPECT_EQ(port.receiveFor(300ms), (Bytes{0x0F, 0x04, 0x84, 0x40, 0x04}));
    }
    {
        DevSimProcess device({"--no-app", "--erase-fail", "1:wrongcmd", "--write-fail", "1:badcrc"});
        RawPort port(device.devicePath());
        port.send(eraseFrame(0x03FF));
        EXPECT_EQ(port.receive(5), (Bytes{0x0F, 0x02, 0x42, 0x20, 0x04}));
        port.send(writeFrame(0, Bytes(64, 0x00)));
        EXPECT_EQ(port.receive(6), (Bytes{0x0F, 0x05, 0x04, 0x7B, 0xBF, 0x04}));
    }
}

TEST(DevSimBootloader, UnplugAfterWriteDropsTheLine)
{
    DevSimProcess device({"--no-app", "--unplug-after", "1"});
    RawPort port(device.devicePath());
    port.send(writeFrame(0, Bytes(64, 0x11)));
    EXPECT_EQ(port.receive(6), kWriteReply);

    // The host sees the line die: a hang-up, then reads that fail.
    pollfd p{port.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    std::uint8_t byte = 0;
    EXPECT_LE(::read(port.fd(), &byte, 1), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(device.devicePath())));

    EXPECT_EQ(device.stop(), 0);
    Bytes flash = device.flash();
    ASSERT_EQ(flash.size(), kFlashSize);
    EXPECT_EQ(flash[0], 0x11);
}

TEST(DevSimBootloader, ReplySentTwice)
{
    DevSimProcess device({"--no-app", "--erase-reply-twice", "1", "--write-reply-twice", "2"});
    RawPort port(device.devicePath());
    port.send(eraseFrame(0x07FF));
    Bytes twice = kEraseReply;
    twice.insert(twice.end(), kEraseReply.begin(), kEraseReply.end());
    EXPECT_EQ(port.receiveFor(300ms), twice);
    port.send(eraseFrame(0x03FF));
    EXPECT_EQ(port.receiveFor(300ms), kEraseReply) << "only the numbered command";
    port.send(writeFrame(0, Bytes(64, 0x00)));
    EXPECT_EQ(port.receive(6), kWriteReply);
    port.send(writeFrame(64, Bytes(64, 0x00)));
    twice = kWriteReply;
    twice.insert(twice.end(), kWriteReply.begin(), kWriteReply.end());
    EXPECT_EQ(port.receiveFor(300ms), twice);
}

// --- The line ---

TEST(DevSimLine, FlippedBitSpoilsTheFrameItHits)
{
    // Byte 3 of the second erase frame: its address arrives changed, the CRC no
    // longer fits, and the frame is not answered.
    const Bytes first = eraseFrame(0x07FF);
    DevSimProcess device({"--no-app", "--flip-bit", std::to_string(first.size() + 3) + ":1"});
    RawPort port(device.devicePath(), B115200);
    port.send(first);
    EXPECT_EQ(port.receive(5), kEraseReply);
    port.send(eraseFrame(0x03FF));
    EXPECT_TRUE(port.receiveFor(300ms).empty());
    EXPECT_TRUE(transcriptHas(device, "rx", "frame-badcrc"));
    EXPECT_TRUE(transcriptHas(device, "--", "fault"));
}

TEST(DevSimLine, HeldLineStopsTheHostsOutputAfterKBytes)
{
    DevSimProcess device({"--no-app", "--hold-after", std::to_string(kInformation.size())});
    RawPort port(device.devicePath());
    port.send(kInformation);
    EXPECT_EQ(port.receive(14), (Bytes{0x0F, 0x00, 0x02, 0x01, 0x02, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00, 0xA4, 0xAB, 0x04}))
        << "the bytes before the hold are answered";
    // From now on the port takes nothing: it is never writable, and a write that
    // does not wait gets nothing through.
    pollfd p{port.fd(), POLLOUT, 0};
    EXPECT_EQ(::poll(&p, 1, 300), 0);
    ASSERT_EQ(::fcntl(port.fd(), F_SETFL, ::fcntl(port.fd(), F_GETFL) | O_NONBLOCK), 0);
    const std::uint8_t sync = 0x0F;
    EXPECT_EQ(::write(port.fd(), &sync, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_TRUE(transcriptHas(device, "--", "fault"));
}

TEST(DevSimLine, LineHeldFromTheStart)
{
    DevSimProcess device({"--no-app", "--hold-after", "0"});
    RawPort port(device.devicePath());
    pollfd p{port.fd(), POLLOUT, 0};
    EXPECT_EQ(::poll(&p, 1, 300), 0) << "not even the first byte goes";
}

TEST(DevSimLine, PortCanBeClosedAndReopened)
{
    DevSimProcess device;
    {
        RawPort first(device.devicePath());
        first.send(kProbe);
        EXPECT_EQ(first.receive(3), kProbe);
    }
    RawPort second(device.devicePath());
    second.send(kProbe);
    EXPECT_EQ(second.receive(3), kProbe);
    EXPECT_EQ(device.stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(device.devicePath())));
}

TEST(DevSimLine, PacedAtTheSpeedTheBootloaderLockedTo)
{
    // Pacing starts at --baud; the frame's first byte locks the bootloader to the
    // host's much slower line, and from then on the line keeps that pace.
    constexpr unsigned kBaud = 2400;
    constexpr auto kWriteTime = 150ms;
    DevSimProcess device({"--no-app", "--baud", "115200", "--write-ms", "150"});
    RawPort port(device.devicePath(), B2400);
    Bytes command = writeFrame(0x2000, pattern(4 * 64));

    auto start = std::chrono::steady_clock::now();
    port.send(command);
    Bytes reply = port.receive(kWriteReply.size(), 10s);
    auto lastByte = std::chrono::steady_clock::now();
    EXPECT_EQ(reply, kWriteReply);

    using Seconds = std::chrono::duration<double>;
    auto lineTime = [](std::size_t bytes) { return static_cast<double>(bytes) * 10.0 / kBaud; };
    // The command crosses the line, is worked on, and the reply crosses back. Lateness
    // on the test's side can only lengthen this.
    EXPECT_GE(Seconds(lastByte - start).count(),
              0.9 * (lineTime(command.size() + kWriteReply.size()) + Seconds(kWriteTime).count()));
    // The reply leaves byte by byte, not in one burst: on the device's own clock its
    // last byte leaves the reply's line time after the programming time, counted from
    // the command's arrival (a burst would leave at the programming time). Lateness
    // on the device's side can only lengthen this; the test's own does not count.
    device.stop();
    const auto lines = device.transcript();
    auto firstFrame = [&lines](const char* dir) {
        return std::find_if(lines.begin(), lines.end(),
                            [dir](const zb::test::TranscriptLine& l) { return l.dir == dir && l.kind == "frame"; });
    };
    const auto received = firstFrame("rx");
    const auto answer = firstFrame("tx");
    ASSERT_NE(received, lines.end());
    ASSERT_NE(answer, lines.end());
    EXPECT_GE((answer->ms - received->ms) / 1000.0,
              Seconds(kWriteTime).count() + 0.9 * lineTime(kWriteReply.size()));
}

// --- Line speed ---

using zb::test::TranscriptLine;

// Waits (at most 5 s) until the transcript has `count` lines that `match` accepts.
template <typename Match>
bool awaitLines(const DevSimProcess& device, Match match, std::ptrdiff_t count = 1)
{
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    do {
        const auto lines = device.transcript();
        if (std::count_if(lines.begin(), lines.end(), match) >= count)
            return true;
        std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

std::vector<TranscriptLine> linesOf(const DevSimProcess& device, const std::string& dir, const std::string& kind)
{
    std::vector<TranscriptLine> found;
    for (const TranscriptLine& l : device.transcript())
        if (l.dir == dir && l.kind == kind)
            found.push_back(l);
    return found;
}

std::vector<std::string> texts(const std::vector<TranscriptLine>& lines)
{
    std::vector<std::string> result;
    for (const TranscriptLine& l : lines)
        result.push_back(l.text);
    return result;
}

TEST(DevSimSpeed, ApplicationListensAt19200Only)
{
    DevSimProcess device;
    RawPort port(device.devicePath(), B115200);
    port.send(kProbe);
    EXPECT_TRUE(port.receiveFor(300ms).empty()) << "a probe at 115200 must not reach the application";
    port.setSpeed(B19200);
    port.send(kProbe);
    EXPECT_EQ(port.receive(3), kProbe);
    device.stop();

    EXPECT_EQ(texts(linesOf(device, "--", "garbled")),
              std::vector<std::string>{"application at 19200 baud, host at 115200"});
    const auto received = linesOf(device, "rx", "short");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].baud, 19200u);
    for (const TranscriptLine& l : linesOf(device, "rx", "junk")) {
        EXPECT_EQ(l.baud, 115200u);
        EXPECT_EQ(l.bytes, Bytes(l.bytes.size(), 0x00)) << "garbled bytes read as 0x00";
    }
}

TEST(DevSimSpeed, BootloaderLocksToTheHostUpToMaxBaudAndGarblesOtherSpeeds)
{
    DevSimProcess device({"--no-app", "--max-baud", "57600", "--erase-ms", "1000"});
    RawPort port(device.devicePath(), B115200);
    EXPECT_TRUE(sync(port).empty()) << "115200 is above --max-baud";
    port.setSpeed(B57600);
    EXPECT_EQ(sync(port), Bytes{0x0F});
    port.send(kInformation);
    EXPECT_EQ(port.receive(14).size(), 14u);

    // Another speed without a break: the device stays at 57600.
    port.setSpeed(B19200);
    EXPECT_TRUE(sync(port).empty());
    port.send(kInformation);
    EXPECT_TRUE(port.receiveFor(300ms).empty());

    // A reply that leaves at 57600 while the host has gone over to 19200.
    port.setSpeed(B57600);
    port.send(eraseFrame(0x03FF));
    ASSERT_TRUE(awaitLines(device, [](const TranscriptLine& l) { return l.dir == "rx" && l.kind == "frame"; }, 2));
    port.setSpeed(B19200);
    EXPECT_EQ(port.receive(5), Bytes(5, 0x00));
    device.stop();

    EXPECT_EQ(texts(linesOf(device, "--", "lock")), std::vector<std::string>{"57600"});
    EXPECT_EQ(texts(linesOf(device, "--", "garbled")),
              (std::vector<std::string>{"bootloader at 19200 baud, host at 115200, above --max-baud 57600",
                                        "bootloader at 57600 baud, host at 19200",
                                        "bootloader at 57600 baud, host at 19200",
                                        "reply at 57600 baud, host at 19200"}));
    const auto frames = linesOf(device, "rx", "frame");
    ASSERT_EQ(frames.size(), 2u);  // the information query and the erase
    for (const TranscriptLine& l : frames)
        EXPECT_EQ(l.baud, 57600u);
    EXPECT_EQ(linesOf(device, "tx", "frame").back().baud, 19200u) << "the host's speed when the reply left";
}

TEST(DevSimSpeed, SecondOfSilenceIsABreakAfterWhichTheBootloaderMeasuresAnew)
{
    DevSimProcess device({"--no-app"});
    RawPort port(device.devicePath(), B115200);
    EXPECT_EQ(sync(port), Bytes{0x0F});
    port.setSpeed(B19200);
    ASSERT_TRUE(awaitLines(device, [](const TranscriptLine& l) { return l.dir == "--" && l.kind == "break"; }));
    EXPECT_EQ(sync(port), Bytes{0x0F});
    port.send(kInformation);
    EXPECT_EQ(port.receive(14).size(), 14u);
    device.stop();

    EXPECT_EQ(texts(linesOf(device, "--", "lock")), (std::vector<std::string>{"115200", "19200"}));
    const auto syncs = linesOf(device, "rx", "sync");
    ASSERT_EQ(syncs.size(), 2u);
    EXPECT_GE(syncs[1].ms - syncs[0].ms, 900.0);
    EXPECT_EQ(linesOf(device, "rx", "frame").at(0).baud, 19200u);
}

}  // namespace
