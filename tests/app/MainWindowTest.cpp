// The window's logic without a window: start-up, every result of the run against the
// device emulator, the run-once guard, the port checks at the idle moment and at the
// start of the run, the list the parser gets, and what the window is shown.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "DevSimProcess.h"
#include "HexLineTable.h"
#include "MainWindowCode.h"
#include "MainWindowTestAccess.h"
#include "MemoryWindowView.h"
#include "PtyPair.h"
#include "StdMainThread.h"

namespace zb {
namespace {

using Access = TMainWindowTestAccess;
using test::DevSimProcess;
using test::MemoryWindowView;
using test::readFile;
using test::TempWorkDir;

constexpr std::uint8_t kProbe = 0x81;
constexpr std::uint8_t kEraseCommand = 0x03;
constexpr std::uint8_t kWriteCommand = 0x04;
constexpr std::uint32_t kBootStart = 0xF800;  // the emulator's bootloader address

// What the host sent the device, from the emulator's transcript.
struct Sent {
    explicit Sent(DevSimProcess& device) : lines(device.transcript()) {}

    std::size_t shortCommands(std::uint8_t code) const {
        return count([code](const test::TranscriptLine& l) {
            return (l.kind == "short" || l.kind == "junk") && !l.bytes.empty() && l.bytes[0] == code;
        });
    }
    std::size_t frames(std::uint8_t command) const {
        return count([command](const test::TranscriptLine& l) {
            if (l.kind != "frame" || l.bytes.size() < 3) return false;
            return (l.bytes[1] == 0x05 ? l.bytes[2] : l.bytes[1]) == command;
        });
    }
    std::size_t anything() const {
        return count([](const test::TranscriptLine&) { return true; });
    }

    template <typename Pred>
    std::size_t count(Pred pred) const {
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
            return l.dir == "rx" && pred(l);
        }));
    }
    std::vector<test::TranscriptLine> lines;
};

// The program's start-up with the standard-library main thread and an in-memory
// window: construction with "COM3", FormCreate, then the event loop, whose idle
// moment starts the run, until the run requests termination.
class LogicRun : public testing::Test {
protected:
    void start(std::vector<std::string> deviceOptions) {
        device = std::make_unique<DevSimProcess>(std::move(deviceOptions));
        ::setenv("ZBCOMM_DEVICE_DIR", device->dir().c_str(), 1);
        window = std::make_unique<TMainWindow>(main, view, std::vector<std::string>{"COM3"});
        window->FormCreate();
    }
    void runToTheEnd() {
        main.runEventLoop();
        device->stop();
    }
    void TearDown() override { ::unsetenv("ZBCOMM_DEVICE_DIR"); }
    void observeParse() {
        Access::observeParse(*window, [this](const std::vector<std::string>& lines) {
            parsed.push_back(lines);
        });
    }

    TempWorkDir workDir;
    StdMainThread main;
    MemoryWindowView view;
    std::unique_ptr<DevSimProcess> device;
    std::unique_ptr<TMainWindow> window;
    std::vector<std::vector<std::string>> parsed;  // each list handed to the parser
};

// --- start-up --------------------------------------------------------------------

TEST(WindowLogic, WithoutArgumentReportsNoParameterAndOpensNothing) {
    TempWorkDir workDir;
    test::PtyPair com1("COM1");  // the port component's default name
    StdMainThread main;
    MemoryWindowView view;
    TMainWindow window(main, view, {});
    window.FormCreate();
    EXPECT_EQ(readFile("status.dat"), "No parameter");
    EXPECT_TRUE(main.terminationRequested());
    EXPECT_FALSE(window.portStat().Open);
    EXPECT_TRUE(view.panels[0].empty());
    EXPECT_TRUE(view.updateButtonVisible) << "only a started run hides the button";
    EXPECT_FALSE(view.gaugePlaced);
    main.runEventLoop();  // returns at once: termination came first
    EXPECT_EQ(readFile("status.dat"), "No parameter");
}

TEST(WindowLogic, ConstructionSetsUpTheWindowForTheRun) {
    TempWorkDir workDir;
    test::PtyPair com3("COM3");
    StdMainThread main;
    MemoryWindowView view;
    view.infoLines = {"left over"};
    TMainWindow window(main, view, {"COM3", "COM4"});
    EXPECT_EQ(MainWindow, &window);
    EXPECT_EQ(view.clears, 1);
    EXPECT_TRUE(view.infoLines.empty());
    EXPECT_FALSE(view.updateButtonVisible);
    EXPECT_TRUE(view.gaugePlaced);
    // The gauge as designed, drawn once it was set up.
    ASSERT_FALSE(view.redraws.empty());
    const TCGauge& gauge = view.redraws.back();
    EXPECT_EQ(gauge.Kind(), TCGaugeKind::gkHorizontalBar);
    EXPECT_FALSE(gauge.ShowText());
    EXPECT_EQ(gauge.BorderStyle(), TBorderStyle::bsSingle);
    EXPECT_EQ(gauge.ForeColor(), kNavy);
    EXPECT_EQ(gauge.BackColor(), MemoryWindowView::kFace);
    EXPECT_EQ(gauge.MaxValue(), 100);
    EXPECT_EQ(gauge.Progress(), 0);
    EXPECT_FALSE(std::filesystem::exists("status.dat"));
}

TEST(WindowLogic, FormCreateOpensThePortAt19200AndShowsItsState) {
    TempWorkDir workDir;
    test::PtyPair com3("COM3");
    StdMainThread main;
    MemoryWindowView view;
    TMainWindow window(main, view, {"COM3"});
    testing::internal::CaptureStderr();
    window.FormCreate();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "COM3 active\n");
    EXPECT_TRUE(window.portStat().Open);
    EXPECT_EQ(Access::bootloader(window).comm().BaudRate(), "19200");
    EXPECT_EQ(view.panels[0], "COM3 active");
    EXPECT_FALSE(main.terminationRequested());
    EXPECT_FALSE(std::filesystem::exists("status.dat"));
}

TEST(WindowLogic, PortThatDoesNotOpenEndsTheProgramAtFormCreate) {
    TempWorkDir workDir;
    test::PtyPair com3("COM3");
    StdMainThread main;
    MemoryWindowView view;
    TMainWindow window(main, view, {"COM5"});
    testing::internal::CaptureStderr();
    window.FormCreate();
    // Why, in one line: the name, the path tried and the system's reason.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "COM5 not active\nCannot open COM5 (" + com3.folder() + "/COM5): no such device\n");
    EXPECT_EQ(readFile("status.dat"), "I can't open COM-port");
    EXPECT_TRUE(main.terminationRequested());
}

TEST(WindowLogic, InfoLinesGoToTheWindowAndStandardError) {
    TempWorkDir workDir;
    test::PtyPair com3("COM3");
    StdMainThread main;
    MemoryWindowView view;
    TMainWindow window(main, view, {"COM3"});
    window.FormCreate();
    testing::internal::CaptureStderr();
    Access::bootloader(window).logLine("Baud rate established");
    Access::bootloader(window).logLine("Bootloader start address 00F800");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Baud rate established\nBootloader start address 00F800\n");
    EXPECT_EQ(view.infoLines,
              (std::vector<std::string>{"Baud rate established", "Bootloader start address 00F800"}));
}

// --- every result of the run -----------------------------------------------------

struct RunCase {
    const char* name;
    std::vector<std::string> deviceOptions;
    const char* result;
    std::size_t erases;  // erase commands sent
    std::size_t writes;  // write commands sent
};

class RunResult : public LogicRun, public testing::WithParamInterface<RunCase> {};

TEST_P(RunResult, EndsWithItsTextAfterTheCommandsItNeeds) {
    start(GetParam().deviceOptions);
    observeParse();
    runToTheEnd();
    EXPECT_TRUE(main.terminationRequested());
    EXPECT_EQ(readFile("status.dat"), GetParam().result);
    const Sent sent(*device);
    EXPECT_EQ(sent.shortCommands(kProbe), 1u) << "one run: one probe";
    EXPECT_EQ(parsed.size(), 1u) << "one run: one parse";
    EXPECT_EQ(sent.frames(kEraseCommand), GetParam().erases);
    EXPECT_EQ(sent.frames(kWriteCommand), GetParam().writes);
}

constexpr std::size_t kAllErases = kBootStart / 1024;
constexpr std::size_t kAllWrites = (kBootStart + 3583) / 3584;

INSTANTIATE_TEST_SUITE_P(
    Paths, RunResult,
    testing::Values(RunCase{"ApplicationReset", {}, "OK", kAllErases, kAllWrites},
                    RunCase{"AlreadyInBootloader", {"--no-app"}, "OK", kAllErases, kAllWrites},
                    RunCase{"FailedActivationAnsweringBootloader", {"--no-app", "--no-echo", "10"}, "OK",
                            kAllErases, kAllWrites},
                    RunCase{"UnansweredReset", {"--no-reset-reply"}, "Orvix V4 reset error", 0, 0},
                    RunCase{"SilentDevice", {"--no-app", "--silent-bootloader"},
                            "I can't find the bootloader", 0, 0},
                    RunCase{"LostErase", {"--no-app", "--erase-fail", "3:silent"}, "Error during erasing", 3, 0},
                    RunCase{"BadWriteReply", {"--no-app", "--write-fail", "2:badcrc"}, "Error during writing",
                            kAllErases, 2}),
    [](const testing::TestParamInfo<RunCase>& c) { return std::string(c.param.name); });

TEST_F(LogicRun, UnparsableImageEndsTheRunBeforeTheDeviceHearsMoreThanTheProbe) {
    static constexpr std::string_view kLines[] = {":020000040000FA",
                                                  ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFXX"};
    start({"--no-app"});
    Access::setUpdateImage(*window, kLines);
    runToTheEnd();
    EXPECT_EQ(readFile("status.dat"), "Bad update data format");
    const Sent sent(*device);
    EXPECT_EQ(sent.shortCommands(kProbe), 1u);
    EXPECT_EQ(sent.anything(), 1u) << "nothing after the probe";
}

TEST_F(LogicRun, AWindowThatCannotBeBuiltInTheBreakDoesNotStopTheRun) {
    start({"--no-app", "--erase-fail", "1:silent"});
    view.whileBreakHeld = [] { throw std::runtime_error("no window"); };
    runToTheEnd();
    EXPECT_EQ(readFile("status.dat"), "Error during erasing") << "the run went on past the break";
}

TEST_F(LogicRun, TheParserGetsExactlyTheEmbeddedLines) {
    start({"--no-app"});
    observeParse();
    runToTheEnd();
    ASSERT_EQ(parsed.size(), 1u);
    const std::vector<std::string>& lines = parsed.front();
    ASSERT_EQ(lines.size(), 4025u);
    EXPECT_EQ(lines.front(), ":020000040000FA");
    EXPECT_EQ(lines.back(), ":00000001FF");
    for (std::size_t i = 0; i < lines.size(); ++i) ASSERT_EQ(lines[i], HexLineTable[i]) << i;
}

TEST_F(LogicRun, GaugeIsRedrawnOnlyWhenItsPictureChanges) {
    start({"--no-app"});
    view.redraws.clear();
    runToTheEnd();
    ASSERT_EQ(readFile("status.dat"), "OK");
    // Erase from full to empty and write from empty to full pass each percentage
    // once; no redraw repeats the picture before it.
    ASSERT_FALSE(view.redraws.empty());
    for (std::size_t i = 1; i < view.redraws.size(); ++i) {
        const TCGauge& a = view.redraws[i - 1];
        const TCGauge& b = view.redraws[i];
        EXPECT_TRUE(a.PercentDone() != b.PercentDone() || a.MaxValue() != b.MaxValue()) << i;
    }
    EXPECT_LE(view.redraws.size(), 2u * 101u + 4u);
    EXPECT_EQ(view.redraws.back().Progress(), 0) << "empty after writing";
    EXPECT_EQ(view.panels[1], "Completed!");
}

// --- the run-once guard and the port checks --------------------------------------

TEST_F(LogicRun, LaterIdleMomentsStartNothing) {
    // An idle moment while the run is under way (here from inside it, as a nested
    // event loop might offer one) and one after the run.
    start({"--no-app"});
    Access::observeParse(*window, [this](const std::vector<std::string>& lines) {
        parsed.push_back(lines);
        if (parsed.size() == 1) window->ApplicationIdle();
    });
    runToTheEnd();
    EXPECT_EQ(readFile("status.dat"), "OK");
    window->ApplicationIdle();
    const Sent sent(*device);
    EXPECT_EQ(parsed.size(), 1u);
    EXPECT_EQ(sent.shortCommands(kProbe), 1u);
    EXPECT_EQ(sent.frames(kWriteCommand), kAllWrites);
}

TEST_F(LogicRun, PortClosedBeforeTheIdleMomentStartsNoRun) {
    start({"--no-app"});
    observeParse();
    // The connection moves to a port that does not exist: COM3 is closed and
    // nothing is open any more.
    Access::bootloader(*window).setPortNumber("COM9");
    ASSERT_FALSE(Access::bootloader(*window).getCommStat().Open);
    runToTheEnd();
    EXPECT_EQ(readFile("status.dat"), "I can't open COM-port");
    EXPECT_TRUE(parsed.empty()) << "the run did not start";
    EXPECT_EQ(Sent(*device).anything(), 0u);
}

TEST_F(LogicRun, PortClosedAtTheStartOfTheRunEndsIt) {
    start({"--no-app"});
    Access::observeParse(*window, [this](const std::vector<std::string>& lines) {
        parsed.push_back(lines);
        Access::bootloader(*window).setPortNumber("COM9");
    });
    runToTheEnd();
    EXPECT_EQ(readFile("status.dat"), "I can't open COM-port");
    const Sent sent(*device);
    EXPECT_EQ(sent.shortCommands(kProbe), 1u);
    EXPECT_EQ(sent.anything(), 1u) << "nothing after the probe";
    // The run itself refused to go on: activation, which would report the same
    // text, never began.
    EXPECT_EQ(std::count(view.infoLines.begin(), view.infoLines.end(), "activateBootloader"), 0)
        << "activation was entered";
}

}  // namespace
}  // namespace zb
