// The Windows program's window on the display while it writes: the X server's own
// view of it (name, place and size) and a capture of the screen, in which the
// gauge's bar follows the gauge rule; a caption held with the mouse while it writes;
// and another Windows program holding "status.dat" open when the result comes. The
// Wine set-up's display is an Xvfb without a window manager, so the window sits
// exactly where the program put it, and Wine runs a caption drag itself.
//
// Built only into the suite that runs against the Windows program; the Qt window has
// its capture tests with the Qt front end's tests.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "DevSimProcess.h"
#include "ProgramRun.h"

namespace zb::test {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kWriteBlocks = 18;  // of the carried image below the bootloader

std::string wineDisplay() {
#ifdef ZBUPDATER_LAUNCHER
    const std::string launcher = ZBUPDATER_LAUNCHER;
    std::ifstream in(launcher.substr(0, launcher.rfind('/')) + "/display");
    std::string number;
    in >> number;
    return number.empty() ? "" : ":" + number;
#else
    return "";
#endif
}

std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        std::array<char, 4096> buffer;
        std::size_t n;
        while ((n = std::fread(buffer.data(), 1, buffer.size(), p)) > 0) out.append(buffer.data(), n);
        ::pclose(p);
    }
    return out;
}

struct Image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    std::array<int, 3> at(int x, int y) const {
        const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 3;
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

// The whole screen as a binary PPM, through ImageMagick's import.
Image captureScreen(const std::string& display) {
    const std::string ppm = commandOutput("import -display " + display + " -window root -depth 8 ppm:- 2>/dev/null");
    std::istringstream in(ppm);
    std::string magic;
    int maxValue = 0;
    Image image;
    in >> magic >> image.width >> image.height >> maxValue;
    in.get();
    if (magic != "P6" || maxValue != 255) return {};
    image.rgb.resize(static_cast<std::size_t>(image.width) * image.height * 3);
    in.read(reinterpret_cast<char*>(image.rgb.data()), static_cast<std::streamsize>(image.rgb.size()));
    return in ? image : Image{};
}

std::size_t writeFrames(DevSimProcess& device) {
    const auto lines = device.transcript();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](const TranscriptLine& l) {
        return l.dir == "rx" && l.kind == "frame" && l.bytes.size() > 2 &&
               (l.bytes[1] == 0x05 ? l.bytes[2] : l.bytes[1]) == 0x04;
    }));
}

// Waits until the device has had `count` write frames, at most a minute.
bool waitForWriteFrames(DevSimProcess& device, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (writeFrames(device) < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    return writeFrames(device) >= count;
}

// The longest quiet time between two write frames the device received, in ms.
double longestGapBetweenWriteFrames(DevSimProcess& device) {
    double previous = -1;
    double longest = 0;
    for (const TranscriptLine& l : device.transcript()) {
        if (l.dir != "rx" || l.kind != "frame" || l.bytes.size() < 3) continue;
        if ((l.bytes[1] == 0x05 ? l.bytes[2] : l.bytes[1]) != 0x04) continue;
        if (previous >= 0) longest = std::max(longest, l.ms - previous);
        previous = l.ms;
    }
    return longest;
}

TEST(WindowsWindow, HoldingTheCaptionWhileWritingOnlyPausesTheRun) {
    // With the mouse held on the caption, Windows runs its modal move loop: the
    // program's timers and the hand-overs of its replies wait until the release,
    // when the reply's time-out is long due as well.
    if (!testsWindowsProgram()) GTEST_SKIP() << "the Windows program's window";
    const std::string display = wineDisplay();
    ASSERT_FALSE(display.empty()) << "no display of the Wine set-up";
    DevSimProcess device({"--write-ms", "100"});
    ProgramRun run({.arguments = {"COM3"}, .deviceDir = device.dir().string()});
    ASSERT_TRUE(waitForWriteFrames(device, 3)) << "the writing did not start";
    // The caption: 100 pixels in from the window's left edge, 8 down from its top.
    const std::string xdotool = "xdotool mousemove --sync 492 421 mousedown 1 sleep 4 mouseup 1 2>&1";
    const std::string said = commandOutput("DISPLAY=" + display + " " + xdotool);
    EXPECT_EQ(run.wait(), 0);
    device.stop();
    EXPECT_EQ(run.status(), "OK");
    // The hold did catch the writing: one block waited through most of it.
    EXPECT_GT(longestGapBetweenWriteFrames(device), 3000.0) << "xdotool: " << said;
}

TEST(WindowsResult, FileHeldOpenByAnotherProgramStillGetsTheResult) {
    // Another Windows program opens "status.dat" sharing read access only, shortly
    // before the result comes, and lets go 1.5 s later: no replacement and no
    // write can be made meanwhile.
    if (!testsWindowsProgram()) GTEST_SKIP() << "file sharing between Windows programs";
    DevSimProcess device({"--write-ms", "300"});
    ProgramRun run({.arguments = {"COM3"}, .deviceDir = device.dir().string()});
    const std::string go = run.workDir() + "/../go";
    const std::string said = run.workDir() + "/../holder.txt";
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const int out = ::open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::setenv("ZBCOMM_DEVICE_DIR", device.dir().c_str(), 1);
        const std::string file = "Z:" + run.workDir() + "/status.dat";
        const std::string goFile = "Z:" + go;
        ::execl(ZBUPDATER_LAUNCHER, ZBUPDATER_LAUNCHER, ZB_STATUS_HOLDER, file.c_str(), goFile.c_str(), "1500",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    auto holderSaid = [&said] {
        std::ifstream in(said, std::ios::binary);
        std::string text(std::istreambuf_iterator<char>(in), {});
        std::erase(text, '\r');
        return text;
    };
    // The result comes after the last block, well inside the hold.
    const bool writing = waitForWriteFrames(device, kWriteBlocks - 1);
    std::ofstream(go).put('\n');
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!holderSaid().starts_with("held") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    const std::string heldStatus = run.status();
    EXPECT_EQ(run.wait(), 0);
    int holderStatus = -1;
    ::waitpid(holder, &holderStatus, 0);
    device.stop();
    ASSERT_TRUE(writing) << "the writing did not reach its last block";
    EXPECT_EQ(holderSaid(), "held\nreleased\n");
    EXPECT_EQ(heldStatus, "") << "the result came before the file was held";
    EXPECT_EQ(run.status(), "OK");
}

TEST(WindowsWindow, CaptureWhileWritingShowsTheBarByTheGaugeRule) {
    if (!testsWindowsProgram()) GTEST_SKIP() << "the Windows program's window";
    const std::string display = wineDisplay();
    ASSERT_FALSE(display.empty()) << "no display of the Wine set-up";
    // A paced line, so that the writing lasts long enough to be seen; the faster
    // line keeps the whole run short.
    DevSimProcess device({"--baud", "57600"});
    ProgramRun run({.arguments = {"COM3"},
                    .deviceDir = device.dir().string(),
                    .environment = {"ZBUPDATER_BAUD=57600"}});
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (writeFrames(device) < kWriteBlocks / 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    const std::size_t before = writeFrames(device);
    ASSERT_GE(before, kWriteBlocks / 3) << "the writing did not start";

    // What the X server knows of the window: its name, place and size (Wine draws
    // the caption and the border itself).
    const std::string tree = commandOutput("xwininfo -display " + display + " -root -tree 2>/dev/null");
    const std::string info = commandOutput("xwininfo -display " + display + " -name Progress 2>/dev/null");
    const Image screen = captureScreen(display);
    const std::size_t after = writeFrames(device);

    EXPECT_NE(tree.find("\"Progress\""), std::string::npos) << tree;
    auto field = [&info](const std::string& name) {
        const auto at = info.find(name + ":");
        return at == std::string::npos ? -1 : std::stoi(info.substr(at + name.size() + 1));
    };
    EXPECT_EQ(field("Absolute upper-left X"), 392) << info;
    EXPECT_EQ(field("Absolute upper-left Y"), 413) << info;
    EXPECT_EQ(field("Width"), 400) << info;
    const int windowHeight = field("Height");
    ASSERT_GT(windowHeight, 41) << info;

    ASSERT_GT(screen.width, 792);
    ASSERT_GT(screen.height, 520);
    // The bar: the row of navy pixels inside the window's frame.
    int row = -1;
    int left = -1;
    for (int y = 413; y < 413 + windowHeight && row < 0; ++y) {
        for (int x = 392; x < 792; ++x) {
            if (screen.at(x, y) == std::array<int, 3>{0, 0, 128}) {
                row = y;
                left = x;
                break;
            }
        }
    }
    ASSERT_GE(row, 0) << "no navy bar in the window";
    // The gauge's black frame: just left of the bar, and its right edge further on.
    const std::array<int, 3> black{0, 0, 0};
    EXPECT_EQ(screen.at(left - 1, row), black);
    int right = left;
    while (right < 792 && screen.at(right, row) == std::array<int, 3>{0, 0, 128}) ++right;
    int frameRight = right;
    while (frameRight < 792 && screen.at(frameRight, row) != black) ++frameRight;
    ASSERT_LT(frameRight, 792) << "no right edge of the gauge";
    const int gaugeLeft = left - 1;
    const int width = frameRight - gaugeLeft + 1;
    const int edge = right - gaugeLeft;  // the bar's right edge from the gauge's left
    // The rule: the edge is floor((W - 1) * percentage / 100) for a whole percentage,
    // and the percentage is that of the blocks written around the capture.
    int percent = -1;
    for (int p = 1; p < 100; ++p)
        if ((width - 1) * p / 100 == edge) percent = p;
    EXPECT_GT(percent, 0) << "edge " << edge << " of a gauge " << width << " wide follows no percentage";
    EXPECT_GE(percent, static_cast<int>(100 * (before - 1) / kWriteBlocks) - 2);
    EXPECT_LE(percent, static_cast<int>(100 * (after + 1) / kWriteBlocks) + 2);
    // Across the client area, two pixels in from each side, and 18 high; the client
    // area is the bevel (22) and the status bar (19) below it, inside the border.
    int top = row;
    while (top > 413 && screen.at(left, top) != black) --top;
    int bottom = row;
    while (bottom < 413 + windowHeight && screen.at(left, bottom) != black) ++bottom;
    EXPECT_EQ(bottom - top + 1, 18) << "gauge height";
    const int border = (400 - (width + 4)) / 2;
    EXPECT_GE(border, 0);
    EXPECT_EQ(gaugeLeft, 392 + border + 2);
    EXPECT_EQ(top - 2 + 41 + border, 413 + windowHeight) << "client area of 41 above the bottom border";

    EXPECT_EQ(run.wait(), 0);
    device.stop();
    EXPECT_EQ(run.status(), "OK");
}

}  // namespace
}  // namespace zb::test
