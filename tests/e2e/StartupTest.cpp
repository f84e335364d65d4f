// Start-up of the real program: the argument, the port it opens and how, the result
// text when start-up fails, and the exit status, each in a fresh working directory.
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DevSimProcess.h"
#include "ProgramRun.h"
#include "PtyPair.h"

namespace zb::test {
namespace {

using namespace std::chrono_literals;

// Waits up to `limit` for the program to send its first byte to the device.
bool deviceHearsSomething(const PtyPair& pty, std::chrono::milliseconds limit) {
    pollfd p{pty.masterFd(), POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(limit.count())) > 0 && (p.revents & POLLIN);
}

std::size_t drain(const PtyPair& pty) {
    std::size_t total = 0;
    char buffer[256];
    pollfd p{pty.masterFd(), POLLIN, 0};
    while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        const ssize_t n = ::read(pty.masterFd(), buffer, sizeof buffer);
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    return total;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// --- start-up that fails -----------------------------------------------------------

TEST(Startup, WithoutArgumentReportsNoParameterAndOpensNoPort) {
    PtyPair com1("COM1");  // the name the port component starts with
    termios before{};
    ASSERT_EQ(::tcgetattr(com1.masterFd(), &before), 0);
    ProgramRun run({.arguments = {}, .deviceDir = com1.folder()});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.status(), "No parameter");
    EXPECT_FALSE(contains(run.standardError(), "active")) << run.standardError();
    // A person who tried it bare is told, in one line, what it wants.
    EXPECT_TRUE(contains(run.standardError(), "zbupdater: a serial port name is wanted (zbupdater PORT); --help tells "
                                              "more\n"))
        << run.standardError();
    // Nobody configured the line: it still has the terminal's cooked settings.
    termios after{};
    ASSERT_EQ(::tcgetattr(com1.masterFd(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(drain(com1), 0u);
}

TEST(Startup, UnmappedPortCannotBeOpened) {
    PtyPair com3("COM3");
    ProgramRun run({.arguments = {"COM5"}, .deviceDir = com3.folder()});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.status(), "I can't open COM-port");
    EXPECT_TRUE(contains(run.standardError(), "COM5 not active\n")) << run.standardError();
    EXPECT_EQ(drain(com3), 0u);
}

TEST(Startup, PortMappedToARegularFileCannotBeOpened) {
    // The file opens, but it has no line settings.
    PtyPair unused("COM1");
    const std::string file = unused.folder() + "/COM3";
    std::ofstream(file).put('\0');
    ProgramRun run({.arguments = {"COM3"}, .deviceDir = unused.folder()});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.status(), "I can't open COM-port");
    EXPECT_TRUE(contains(run.standardError(), "COM3 not active\n")) << run.standardError();
    EXPECT_EQ(std::filesystem::file_size(file), 1u) << "nothing written into the file";
}

TEST(Startup, UnwritableWorkingDirectoryStillExitsWithZero) {
    ProgramRun run({.arguments = {}, .deviceDir = {}, .asOrdinaryUser = true, .readOnlyWorkDir = true});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_FALSE(run.statusExists());
}

TEST(Startup, EarlierResultThatCanNeitherGoNorBeEmptiedLeavesTheDeviceAlone) {
    // A read-only folder (or medium) holds an earlier "OK" that this user cannot
    // write: no report of this run could replace it, so the run must not start.
    PtyPair com3("COM3");
    termios before{};
    ASSERT_EQ(::tcgetattr(com3.masterFd(), &before), 0);
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"COM3"}, std::vector<std::string>{}}) {
        ProgramRun run({.arguments = arguments,
                        .deviceDir = com3.folder(),
                        .asOrdinaryUser = true,
                        .readOnlyWorkDir = true,
                        .earlierStatus = "OK"});
        EXPECT_EQ(run.wait(), 2);
        EXPECT_EQ(run.status(), "OK");
        const std::string errors = run.standardError();
        EXPECT_TRUE(contains(errors, "status.dat can be neither removed nor emptied")) << errors;
        EXPECT_FALSE(contains(errors, "active")) << errors;
    }
    termios after{};
    ASSERT_EQ(::tcgetattr(com3.masterFd(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(drain(com3), 0u);
}

TEST(Startup, DisplayWithoutServerStillReportsNoParameter) {
    // ":97" names no X server here; the program must not need one.
    ProgramRun run({.arguments = {}, .display = ":97"});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.status(), "No parameter");
}

// --- the window, which a program of its own draws ---------------------------------

TEST(Startup, APlatformOfTheUsersThatCannotBeLoadedGivesWayToOffscreen) {
    // The window program tries the user's platform first, then offscreen.
    if (testsWindowsProgram()) GTEST_SKIP() << "a choice of the Qt front end; the Windows program has no Qt";
    DevSimProcess device;
    ProgramRun run({.arguments = {"COM3"}, .deviceDir = device.dir().string(), .display = ":97",
                    .qtPlatform = "zbnoplatform"});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.status(), "OK");
    EXPECT_FALSE(contains(run.standardError(), "No window")) << run.standardError();
}

TEST(Startup, WithoutItsWindowTheProgramSaysSoAndUpdatesAllTheSame) {
    if (testsWindowsProgram()) GTEST_SKIP() << "the Windows program carries its window";
    // A copy of the program alone, without the window program beside it.
    TempWorkDir copyDir;
    const auto copy = std::filesystem::path(copyDir.path()) / "zbupdater";
    std::filesystem::copy_file(testedProgram(), copy);
    DevSimProcess device;
    ProgramRun run({.arguments = {"COM3"}, .deviceDir = device.dir().string(), .program = copy.string()});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.status(), "OK");
    EXPECT_TRUE(contains(run.standardError(), "No window: ")) << run.standardError();
}

// --- start-up that opens the port ------------------------------------------------------

TEST(Startup, OpensTheMappedPortAt19200BaudRaw8N1) {
    PtyPair com3("COM3");
    ProgramRun run({.arguments = {"COM3"}, .deviceDir = com3.folder()});
    // The first byte shows the port open and configured; the settings are read
    // while the program still holds the port (it restores them when it ends).
    ASSERT_TRUE(deviceHearsSomething(com3, 20s));
    termios line{};
    ASSERT_EQ(::tcgetattr(com3.masterFd(), &line), 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);

    EXPECT_EQ(run.wait(), 0);
    EXPECT_TRUE(contains(run.standardError(), "COM3 active\n")) << run.standardError();
    // A device that never answers: the run looks for a bootloader and gives up.
    EXPECT_EQ(run.status(), "I can't find the bootloader");
}

TEST(Startup, PortHeldByAnotherUpdaterCannotBeOpened) {
    // Linux only: Wine lets a second opener of a serial port through (Windows itself
    // refuses it, and the Windows program asks for no sharing).
    if (testsWindowsProgram()) GTEST_SKIP() << "Wine does not refuse a second opener of a serial port";
    PtyPair com3("COM3");
    ProgramRun first({.arguments = {"COM3"}, .deviceDir = com3.folder()});
    ASSERT_TRUE(deviceHearsSomething(com3, 20s)) << "the first updater holds the port";
    ProgramRun second({.arguments = {"COM3"}, .deviceDir = com3.folder()});
    EXPECT_EQ(second.wait(), 0);
    EXPECT_EQ(second.status(), "I can't open COM-port");
    EXPECT_TRUE(contains(second.standardError(), "COM3 not active\n")) << second.standardError();
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(first.status(), "I can't find the bootloader");
}

TEST(Startup, OnlyTheFirstArgumentIsUsed) {
    PtyPair com3("COM3");
    PtyPair com4("COM4");
    std::filesystem::create_symlink(com4.slavePath(), com3.folder() + "/COM4");
    ProgramRun run({.arguments = {"COM3", "COM4"}, .deviceDir = com3.folder()});
    EXPECT_TRUE(deviceHearsSomething(com3, 20s));
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(drain(com4), 0u);
    EXPECT_TRUE(contains(run.standardError(), "COM3 active\n")) << run.standardError();
    EXPECT_FALSE(contains(run.standardError(), "COM4")) << run.standardError();
}

TEST(Startup, RefusedNameOpensNothingAndLeavesCom1Alone) {
    // Neither COM1, the name the port component starts with, nor a device folder
    // entry named after the argument is touched: no byte, no line setting.
    PtyPair com1("COM1");
    PtyPair other("com3");
    std::filesystem::create_symlink(other.slavePath(), com1.folder() + "/com3");
    termios before{};
    ASSERT_EQ(::tcgetattr(com1.masterFd(), &before), 0);
    ProgramRun run({.arguments = {"com3"}, .deviceDir = com1.folder()});
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.status(), "I can't open COM-port");
    EXPECT_TRUE(contains(run.standardError(), "com3 not active\nCannot open com3: not a port name (")) << run.standardError();
    EXPECT_EQ(drain(com1), 0u);
    EXPECT_EQ(drain(other), 0u);
    termios after{};
    ASSERT_EQ(::tcgetattr(com1.masterFd(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST(Startup, DevicePathThatDoesNotOpenSaysWhyInOneLine) {
    if (testsWindowsProgram()) GTEST_SKIP() << "Linux device paths";
    PtyPair line("COM1");
    // Nobody may use it: the program runs as an ordinary user.
    ASSERT_EQ(::chmod(line.slavePath().c_str(), 0), 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(line.masterFd(), &before), 0);
    struct Case { std::string path; std::string reason; };
    const std::string link = line.folder() + "/zbmissing";
    std::filesystem::create_symlink("/dev/zb-no-such-line", link);
    for (const Case& c : {Case{line.slavePath(), "permission denied (on most Linux systems the user must be in the dialout group)"},
                          Case{link, "no such device"}, Case{"/dev/null", "not a serial line"}}) {
        ProgramRun run({.arguments = {c.path}, .deviceDir = line.folder(), .asOrdinaryUser = true});
        EXPECT_EQ(run.wait(), 0);
        EXPECT_EQ(run.status(), "I can't open COM-port") << c.path;
        // (Qt may say something of its own before, as an ordinary user.)
        EXPECT_TRUE(contains(run.standardError(), c.path + " not active\nCannot open " + c.path + ": " + c.reason + "\n"))
            << run.standardError();
    }
    EXPECT_EQ(drain(line), 0u);
    termios after{};
    ASSERT_EQ(::tcgetattr(line.masterFd(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

}  // namespace
}  // namespace zb::test
