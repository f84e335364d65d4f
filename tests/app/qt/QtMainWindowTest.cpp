// The Qt window around the window's logic: caption, size, title bar, what is
// visible and where, plain-text panels, and a capture of the gauge as the run
// leaves it. (The window program draws it from the updater's feed; its capture
// while writing is an end-to-end test on an X display.)
#include <string>

#include <QImage>
#include <QMenuBar>
#include <QToolBar>
#include <gtest/gtest.h>

#include "MainWindowCode.h"
#include "PtyPair.h"
#include "QtMainWindow.h"
#include "StdMainThread.h"

namespace zb {
namespace {

using test::PtyPair;
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
    StdMainThread main;
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

}  // namespace
}  // namespace zb
