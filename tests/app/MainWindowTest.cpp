// The main window as the program builds it: its layout, start-up with and without a
// port, and the run's result when the carried image does not parse.
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QImage>
#include <QMenuBar>
#include <QToolBar>
#include <gtest/gtest.h>

#include "DevSimProcess.h"
#include "MainWindowCode.h"
#include "PtyPair.h"

namespace zb {
namespace {

using test::PtyPair;
using test::readFile;
using test::TempWorkDir;

// Bytes the program has sent to the device so far.
std::size_t bytesWaitingAtDevice(const PtyPair& pty) {
    std::size_t total = 0;
    pollfd p{pty.masterFd(), POLLIN, 0};
    char buffer[256];
    while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        const ssize_t n = ::read(pty.masterFd(), buffer, sizeof buffer);
        if (n <= 0) break;
        total += static_cast<std::size_t>(n);
    }
    return total;
}

class MainWindowFixture : public testing::Test {
protected:
    TempWorkDir workDir;
    QtMainThread main;
};

class RunningWindow : public MainWindowFixture {
protected:
    void SetUp() override {
        window = std::make_unique<TMainWindow>(main, std::vector<std::string>{"COM3"});
        window->FormCreate();
        window->show();
    }
    PtyPair pty{"COM3"};
    std::unique_ptr<TMainWindow> window;
};

TEST_F(RunningWindow, OpensThePortAndShowsItsStateInPanel0) {
    EXPECT_TRUE(window->portStat().Open);
    EXPECT_FALSE(main.terminationRequested());
    EXPECT_EQ(window->StatusPanel0.text(), QStringLiteral("COM3 active"));
    EXPECT_EQ(window->bootloader().comm().BaudRate(), "19200");
    EXPECT_FALSE(std::filesystem::exists("status.dat"));
    EXPECT_EQ(MainWindow, window.get());
}

TEST_F(RunningWindow, HasTheCaptionSizeAndPanelWidthOfTheDesign) {
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Progress"));
    EXPECT_EQ(window->width(), 400);
    EXPECT_EQ(window->height(), window->Bevel1.height() + window->StatusBar.height());
    EXPECT_EQ(window->StatusPanel0.width(), 133);
    // Fixed size: the border offers no resizing.
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
}

TEST_F(RunningWindow, TitleBarHasNoButtonsAndTheWindowNoMenuOrToolBar) {
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(window->findChildren<QMenuBar*>().isEmpty());
    EXPECT_TRUE(window->findChildren<QToolBar*>().isEmpty());
}

TEST_F(RunningWindow, OnlyTheGaugeInItsBevelAndTheStatusBarAreVisible) {
    EXPECT_TRUE(window->Bevel1.isVisible());
    EXPECT_TRUE(window->ProgressGauge.isVisible());
    EXPECT_TRUE(window->StatusBar.isVisible());
    EXPECT_FALSE(window->InfoBox.isVisible());
    EXPECT_FALSE(window->UpdateButton.isVisible());

    const QRect bevel = window->Bevel1.geometry();
    const QRect gauge = window->ProgressGauge.geometry();
    const QRect status = window->StatusBar.geometry();
    EXPECT_TRUE(window->rect().contains(bevel)) << "bevel inside the window";
    EXPECT_TRUE(bevel.contains(gauge)) << "gauge inside its bevel";
    EXPECT_EQ(bevel.width(), window->width());
    EXPECT_EQ(bevel.bottom() + 1, status.top()) << "bevel directly above the status bar";
    EXPECT_EQ(status.bottom(), window->height() - 1) << "status bar at the bottom edge";
    EXPECT_EQ(gauge.width(), bevel.width() - 4);
}

TEST_F(RunningWindow, PanelsShowTextsAsTheyAre) {
    window->setProgressText("<b>Write address: 0E00</b>");
    EXPECT_EQ(window->StatusPanel1.textFormat(), Qt::PlainText);
    EXPECT_EQ(window->StatusPanel0.textFormat(), Qt::PlainText);
    EXPECT_EQ(window->StatusPanel1.text(), QStringLiteral("<b>Write address: 0E00</b>"));
}

TEST_F(RunningWindow, CaptureShowsTheGaugeBarByTheDrawingRule) {
    // As writing leaves it: MaxValue from the used length, Progress raised per block.
    window->setGaugeMax(968);
    window->setGaugeProgress(56 * 7);
    const QImage image = window->grab().toImage();
    const QRect gauge = window->ProgressGauge.geometry();
    const int percent = 100 * 56 * 7 / 968;  // 40
    const int edge = (gauge.width() - 1) * percent / 100;
    const int y = gauge.top() + gauge.height() / 2;
    const QColor navy(0, 0, 128);
    EXPECT_EQ(QColor(image.pixel(gauge.left() + 1, y)), navy);
    EXPECT_EQ(QColor(image.pixel(gauge.left() + edge - 1, y)), navy);
    EXPECT_NE(QColor(image.pixel(gauge.left() + edge, y)), navy);
    EXPECT_EQ(QColor(image.pixel(gauge.left(), y)), QColor(Qt::black)) << "frame";
    EXPECT_EQ(window->gaugeProgress(), 392);
}

TEST_F(RunningWindow, UnparsableImageEndsTheRunBeforeTheDeviceHearsAnything) {
    static constexpr std::string_view kLines[] = {":020000040000FA", ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFXX"};
    window->setUpdateImage(kLines);
    bytesWaitingAtDevice(pty);
    window->UpdateButtonClick();
    EXPECT_EQ(readFile("status.dat"), "Bad update data format");
    EXPECT_TRUE(main.terminationRequested());
    EXPECT_EQ(bytesWaitingAtDevice(pty), 0u);
}

TEST_F(MainWindowFixture, WithoutArgumentReportsNoParameterAndOpensNothing) {
    PtyPair pty{"COM1"};  // the port component's default name
    TMainWindow window(main, {});
    window.FormCreate();
    EXPECT_EQ(readFile("status.dat"), "No parameter");
    EXPECT_TRUE(main.terminationRequested());
    EXPECT_FALSE(window.bootloader().getCommStat().Open);
    EXPECT_FALSE(window.bootloader().comm().GetOpenState());
    EXPECT_TRUE(window.StatusPanel0.text().isEmpty());
    EXPECT_FALSE(window.UpdateButton.isHidden());
}

TEST_F(MainWindowFixture, InfoBoxLinesGoToTheHiddenListAndStandardError) {
    PtyPair pty{"COM3"};
    TMainWindow window(main, {"COM3"});
    window.FormCreate();
    testing::internal::CaptureStderr();
    window.bootloader().logLine("Baud rate established");
    window.bootloader().logLine("Bootloader start address 00F800");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Baud rate established\nBootloader start address 00F800\n");
    ASSERT_EQ(window.InfoBox.count(), 2);
    EXPECT_EQ(window.InfoBox.item(1)->text(), QStringLiteral("Bootloader start address 00F800"));
}

TEST_F(MainWindowFixture, CaptureDuringWritingShowsTheBarByTheDrawingRule) {
    // A whole run against the emulator, whose writes take long enough to be seen;
    // a timer looks at the window from inside the run's waits.
    test::DevSimProcess device({"--write-ms", "150"});
    ::setenv("ZBCOMM_DEVICE_DIR", device.dir().c_str(), 1);
    TMainWindow window(main, {"COM3"});
    window.FormCreate();
    window.show();
    struct Capture {
        QImage image;
        std::int32_t progress;
        std::int32_t maxValue;
        QString panel1;
    };
    std::optional<Capture> capture;
    std::function<void()> look = [&] {
        if (window.StatusPanel1.text().startsWith(QStringLiteral("Write address")) &&
            window.gaugeProgress() > 0) {
            capture = Capture{window.grab().toImage(), window.gaugeProgress(),
                              window.ProgressGauge.MaxValue(), window.StatusPanel1.text()};
            return;
        }
        main.startTimer(std::chrono::milliseconds(5), look);
    };
    main.startTimer(std::chrono::milliseconds(5), look);
    window.ApplicationIdle();
    EXPECT_EQ(readFile("status.dat"), "OK");
    ASSERT_TRUE(capture.has_value()) << "no capture while writing";

    EXPECT_EQ(capture->maxValue, 0xF800 / 64 + 1);
    const QRect gauge = window.ProgressGauge.geometry();
    const int percent = 100 * capture->progress / capture->maxValue;
    const int edge = (gauge.width() - 1) * percent / 100;
    ASSERT_GT(edge, 1) << "bar too short to measure";
    const int y = gauge.top() + gauge.height() / 2;
    const QColor navy(0, 0, 128);
    int x = gauge.left() + 1;
    while (x < gauge.right() && QColor(capture->image.pixel(x, y)) == navy) ++x;
    EXPECT_EQ(x - gauge.left(), edge) << capture->progress << " of " << capture->maxValue;
    // After the run the gauge is empty again.
    EXPECT_EQ(window.gaugeProgress(), 0);
    EXPECT_EQ(window.StatusPanel1.text(), QStringLiteral("Completed!"));
}

}  // namespace
}  // namespace zb
