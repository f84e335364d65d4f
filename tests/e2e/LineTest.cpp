// The line as the device's side sees it while the real program holds the port:
// settings an earlier program left behind are put right, ports from COM10 on are
// reached through the device namespace, and the break lasts its second.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DevSimProcess.h"
#include "ProgramRun.h"
#include "PtyPair.h"

namespace zb::test {
namespace {

using namespace std::chrono_literals;

bool deviceHearsSomething(const PtyPair& pty, std::chrono::milliseconds limit) {
    pollfd p{pty.masterFd(), POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(limit.count())) > 0 && (p.revents & POLLIN);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Line, SettingsLeftByAnEarlierProgramArePutRightAndBackAfterwards) {
    // XON/XOFF in both directions, CR/NL translation, canonical input with echo and
    // 9600 baud with 7 data bits, even parity and 2 stop bits: 0x11 and 0x13 are
    // ordinary bytes of the protocol and must pass untouched. CTS/RTS handshake, a
    // terminal program's default, would hold every byte on a three-wire cable.
    PtyPair com3("COM3");
    termios left{};
    ASSERT_EQ(::tcgetattr(com3.slaveFd(), &left), 0);
    left.c_cflag |= CRTSCTS;
    left.c_iflag |= IXON | IXOFF | IXANY | ICRNL;
    left.c_lflag |= ICANON | ECHO;
    left.c_cflag = (left.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB;
    ::cfsetispeed(&left, B9600);
    ::cfsetospeed(&left, B9600);
    ASSERT_EQ(::tcsetattr(com3.slaveFd(), TCSANOW, &left), 0);

    ProgramRun run({.arguments = {"COM3"}, .deviceDir = com3.folder()});
    ASSERT_TRUE(deviceHearsSomething(com3, 30s));
    termios line{};
    ASSERT_EQ(::tcgetattr(com3.masterFd(), &line), 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB), 0u);
    // (IXANY acts only together with IXON.)
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.status(), "I can't find the bootloader");
    // The port is handed back as it was found (what Wine carries of it, for the
    // Windows program: speed and handshake).
    termios after{};
    ASSERT_EQ(::tcgetattr(com3.masterFd(), &after), 0);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
    EXPECT_NE(after.c_cflag & CRTSCTS, 0u);
}

TEST(Line, Com12IsReachedThroughTheDeviceNamespace) {
    // COM12 is stored as \\.\COM12, the only form under which Windows opens it.
    PtyPair com12("COM12");
    ProgramRun run({.arguments = {"COM12"}, .deviceDir = com12.folder()});
    EXPECT_TRUE(deviceHearsSomething(com12, 30s));
    EXPECT_EQ(run.wait(), 0);
    EXPECT_TRUE(contains(run.standardError(), "COM12 active\n")) << run.standardError();
    EXPECT_EQ(run.status(), "I can't find the bootloader");
}

TEST(Line, BreakLastsAboutOneSecondBeforeTheFirstSynchronisation) {
    // The device cannot see the break on a pseudo-terminal; it sees the silence it
    // makes: from its reset reply to the first synchronisation byte the program holds
    // the break for its 1000 ms timer, which never ends early.
    DevSimProcess device;
    ProgramRun run({.arguments = {"COM3"}, .deviceDir = device.dir().string()});
    EXPECT_EQ(run.wait(), 0);
    device.stop();
    EXPECT_EQ(run.status(), "OK");
    const auto lines = device.transcript();
    const auto resetReply = std::find_if(lines.begin(), lines.end(), [](const TranscriptLine& l) {
        return l.dir == "tx" && l.kind == "short" && !l.bytes.empty() && l.bytes[0] == 0x93;
    });
    ASSERT_NE(resetReply, lines.end());
    const auto sync = std::find_if(resetReply, lines.end(),
                                   [](const TranscriptLine& l) { return l.dir == "rx" && l.kind == "sync"; });
    ASSERT_NE(sync, lines.end());
    const bool nothingBetween = std::none_of(resetReply + 1, sync, [](const TranscriptLine& l) { return l.dir == "rx"; });
    EXPECT_TRUE(nothingBetween) << "the line stays quiet during the break";
    const double heldMs = sync->ms - resetReply->ms;
    EXPECT_GE(heldMs, 1000.0);
    EXPECT_LT(heldMs, 2000.0);
}

}  // namespace
}  // namespace zb::test
