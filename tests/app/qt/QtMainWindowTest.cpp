// The Qt window as the program builds it around the window's logic: caption, size,
// title bar, what is visible and where, plain-text panels, and captures of the gauge
// as the run leaves it and while it writes.
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QImage>
#include <QMenuBar>
#include <QToolBar>
#include <gtest/gtest.h>

#include "DeferredView.h"
#include "DevSimProcess.h"
#include "GlibMainThread.h"
#include "MainWindowCode.h"
#include "PtyPair.h"
#include "QtMainWindow.h"

namespace zb {
namespace {

using test::PtyPair;
using test::readFile;
using test::TempWorkDir;

const QColor kNavyQt(0, 0, 128);

// The window as the program starts it with "COM3", port open, shown.
class RunningWindow : public testing::Test {
protected:
    void SetUp() override {
        window.FormCreate();
        view.show();
    }
    TempWorkDir workDir;
    PtyPair pty{"COM3"};
    GlibMainThread main;
    QtMainWindow view;
    TMainWindow window{main, view, {"COM3"}};
};

TEST_F(RunningWindow, OpensThePortAndShowsItsStateInPanel0) {
    EXPECT_TRUE(window.portStat().Open);
    EXPECT_FALSE(main.terminationRequested());
    EXPECT_EQ(view.StatusPanel0.text(), QStringLiteral("COM3 active"));
    EXPECT_EQ(MainWindow, &window);
}

TEST_F(RunningWindow, HasTheCaptionSizeAndPanelWidthOfTheDesign) {
    EXPECT_EQ(view.windowTitle(), QStringLiteral("Progress"));
    EXPECT_EQ(view.width(), 400);
    EXPECT_EQ(view.height(), 41);
    EXPECT_EQ(view.height(), view.Bevel1.height() + view.StatusBar.height());
    EXPECT_EQ(view.StatusPanel0.width(), 133);
    // Fixed size: the border offers no resizing.
    EXPECT_EQ(view.minimumSize(), view.maximumSize());
}

TEST_F(RunningWindow, TitleBarHasNoButtonsAndTheWindowNoMenuOrToolBar) {
    const Qt::WindowFlags flags = view.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(view.findChildren<QMenuBar*>().isEmpty());
    EXPECT_TRUE(view.findChildren<QToolBar*>().isEmpty());
}

TEST_F(RunningWindow, OnlyTheGaugeInItsBevelAndTheStatusBarAreVisible) {
    EXPECT_TRUE(view.Bevel1.isVisible());
    EXPECT_TRUE(view.ProgressGauge.isVisible());
    EXPECT_TRUE(view.StatusBar.isVisible());
    EXPECT_FALSE(view.InfoBox.isVisible());
    EXPECT_FALSE(view.UpdateButton.isVisible());

    const QRect bevel = view.Bevel1.geometry();
    const QRect gauge = view.ProgressGauge.geometry();
    const QRect status = view.StatusBar.geometry();
    EXPECT_TRUE(view.rect().contains(bevel)) << "bevel inside the window";
    EXPECT_TRUE(bevel.contains(gauge)) << "gauge inside its bevel";
    EXPECT_EQ(bevel.width(), view.width());
    EXPECT_EQ(bevel.bottom() + 1, status.top()) << "bevel directly above the status bar";
    EXPECT_EQ(status.bottom(), view.height() - 1) << "status bar at the bottom edge";
    EXPECT_EQ(gauge.width(), bevel.width() - 4);
}

TEST_F(RunningWindow, PanelsShowTextsAsTheyAre) {
    window.setProgressText("<b>Write address: 0E00</b>");
    EXPECT_EQ(view.StatusPanel1.textFormat(), Qt::PlainText);
    EXPECT_EQ(view.StatusPanel0.textFormat(), Qt::PlainText);
    EXPECT_EQ(view.StatusPanel1.text(), QStringLiteral("<b>Write address: 0E00</b>"));
}

TEST_F(RunningWindow, CaptureShowsTheGaugeBarByTheDrawingRule) {
    // As writing leaves it: MaxValue from the used length, Progress raised per block.
    window.setGaugeMax(968);
    window.setGaugeProgress(56 * 7);
    const QImage image = view.grab().toImage();
    const QRect gauge = view.ProgressGauge.geometry();
    const int percent = 100 * 56 * 7 / 968;  // 40
    const int edge = (gauge.width() - 1) * percent / 100;
    const int y = gauge.top() + gauge.height() / 2;
    EXPECT_EQ(QColor(image.pixel(gauge.left() + 1, y)), kNavyQt);
    EXPECT_EQ(QColor(image.pixel(gauge.left() + edge - 1, y)), kNavyQt);
    EXPECT_NE(QColor(image.pixel(gauge.left() + edge, y)), kNavyQt);
    EXPECT_EQ(QColor(image.pixel(gauge.left(), y)), QColor(Qt::black)) << "frame";
    EXPECT_EQ(window.gaugeProgress(), 392);
    // The background is the palette's button face.
    EXPECT_EQ(QColor(image.pixel(gauge.right() - 1, y)), view.palette().color(QPalette::Button));
}

TEST(DeferredView, WindowBuiltInTheBreakShowsWhatCameBeforeAndFollowsFromThen) {
    TempWorkDir workDir;
    PtyPair pty{"COM3"};
    GlibMainThread main;
    std::optional<QtMainWindow> qtWindow;
    DeferredView view([&] { return &qtWindow.emplace(); }, [&] { qtWindow->show(); });
    TMainWindow window{main, view, {"COM3"}};
    window.FormCreate();
    window.setGaugeMax(968);
    window.setGaugeProgress(392);
    window.setProgressText("Erase address: 0E00");
    view.addInfoLine("before the break");
    ASSERT_EQ(view.window(), nullptr) << "nothing built before the break";

    window.breakHeld();
    ASSERT_NE(view.window(), nullptr);
    QtMainWindow* built = &*qtWindow;
    EXPECT_TRUE(built->isVisible());
    EXPECT_EQ(built->StatusPanel0.text(), QStringLiteral("COM3 active"));
    EXPECT_EQ(built->StatusPanel1.text(), QStringLiteral("Erase address: 0E00"));
    ASSERT_GE(built->InfoBox.count(), 1);
    EXPECT_EQ(built->InfoBox.item(built->InfoBox.count() - 1)->text(), QStringLiteral("before the break"));
    EXPECT_FALSE(built->UpdateButton.isVisible());
    // The gauge where the run puts it, drawn from the state it had.
    QtMainWindow placed;
    placed.placeGaugeAboveStatusBar();
    EXPECT_EQ(built->ProgressGauge.geometry(), placed.ProgressGauge.geometry());
    EXPECT_EQ(built->ProgressGauge.gauge().Progress(), 392);
    EXPECT_EQ(built->ProgressGauge.gauge().MaxValue(), 968);
    EXPECT_EQ(built->ProgressGauge.gauge().BackColor(), built->buttonFaceColor());

    // From then on the window follows directly, and a later break builds nothing new.
    window.setProgressText("Write address: 0E00");
    EXPECT_EQ(built->StatusPanel1.text(), QStringLiteral("Write address: 0E00"));
    window.breakHeld();
    EXPECT_EQ(view.window(), static_cast<MainWindowView*>(built));
}

TEST(QtMainWindow, CaptureDuringWritingShowsTheBarByTheDrawingRule) {
    // A whole run against the emulator, whose writes take long enough to be seen;
    // a timer looks at the window from inside the run's waits.
    TempWorkDir workDir;
    test::DevSimProcess device({"--write-ms", "150"});
    ::setenv("ZBCOMM_DEVICE_DIR", device.dir().c_str(), 1);
    GlibMainThread main;
    QtMainWindow view;
    TMainWindow window(main, view, {"COM3"});
    window.FormCreate();
    view.show();
    struct Capture {
        QImage image;
        std::int32_t progress;
        std::int32_t maxValue;
    };
    std::optional<Capture> capture;
    std::function<void()> look = [&] {
        if (view.StatusPanel1.text().startsWith(QStringLiteral("Write address")) &&
            window.gaugeProgress() > 0) {
            capture = Capture{view.grab().toImage(), window.gaugeProgress(), window.gauge().MaxValue()};
            return;
        }
        main.startTimer(std::chrono::milliseconds(5), look);
    };
    main.startTimer(std::chrono::milliseconds(5), look);
    main.runEventLoop();
    ::unsetenv("ZBCOMM_DEVICE_DIR");
    EXPECT_EQ(readFile("status.dat"), "OK");
    ASSERT_TRUE(capture.has_value()) << "no capture while writing";

    EXPECT_EQ(capture->maxValue, 0xF800 / 64 + 1);
    const QRect gauge = view.ProgressGauge.geometry();
    const int percent = 100 * capture->progress / capture->maxValue;
    const int edge = (gauge.width() - 1) * percent / 100;
    ASSERT_GT(edge, 1) << "bar too short to measure";
    const int y = gauge.top() + gauge.height() / 2;
    int x = gauge.left() + 1;
    while (x < gauge.right() && QColor(capture->image.pixel(x, y)) == kNavyQt) ++x;
    EXPECT_EQ(x - gauge.left(), edge) << capture->progress << " of " << capture->maxValue;
    // After the run the gauge is empty again.
    EXPECT_EQ(window.gaugeProgress(), 0);
    EXPECT_EQ(view.StatusPanel1.text(), QStringLiteral("Completed!"));
}

}  // namespace
}  // namespace zb
