// The gauge's value rules and its drawing, read back from a capture of the widget.
#include <string>

#include <QImage>
#include <gtest/gtest.h>

#include "TCGauge.h"

namespace zb {
namespace {

const QColor kNavy(0, 0, 128);
const QColor kFace(212, 208, 200);

// A gauge as the main window sets it up, at the given size.
class GaugeFixture : public testing::Test {
protected:
    void makeGauge(int width, int height) {
        gauge.resize(width, height);
        gauge.SetKind(TCGaugeKind::gkHorizontalBar);
        gauge.SetShowText(false);
        gauge.SetBorderStyle(TBorderStyle::bsSingle);
        gauge.SetForeColor(kNavy);
        gauge.SetBackColor(kFace);
    }
    QImage capture() { return gauge.grab().toImage(); }

    TCGauge gauge;
};

// --- values ---------------------------------------------------------------------

TEST_F(GaugeFixture, ProgressIsClampedToTheRange) {
    gauge.SetMaxValue(200);
    gauge.SetProgress(201);
    EXPECT_EQ(gauge.Progress(), 200);
    gauge.SetProgress(-5);
    EXPECT_EQ(gauge.Progress(), 0);
    gauge.SetProgress(INT32_MAX);
    EXPECT_EQ(gauge.Progress(), 200);
    EXPECT_EQ(gauge.PercentDone(), 100);
}

TEST_F(GaugeFixture, MaxValueZeroKeepsThePreviousMaximum) {
    gauge.SetMaxValue(968);
    gauge.SetProgress(500);
    gauge.SetMaxValue(0);
    EXPECT_EQ(gauge.MaxValue(), 968);
    EXPECT_EQ(gauge.Progress(), 500);
}

TEST_F(GaugeFixture, LoweringMaxValueBelowProgressLowersProgress) {
    gauge.SetMaxValue(968);
    gauge.SetProgress(968);
    gauge.SetMaxValue(300);
    EXPECT_EQ(gauge.Progress(), 300);
    EXPECT_EQ(gauge.PercentDone(), 100);
    // Raising it again leaves Progress where it is.
    gauge.SetMaxValue(600);
    EXPECT_EQ(gauge.Progress(), 300);
    EXPECT_EQ(gauge.PercentDone(), 50);
}

TEST_F(GaugeFixture, PercentageIsRoundedDown) {
    gauge.SetMaxValue(3);
    gauge.SetProgress(2);
    EXPECT_EQ(gauge.PercentDone(), 66);
    gauge.SetMaxValue(1000);
    gauge.SetProgress(999);
    EXPECT_EQ(gauge.PercentDone(), 99);
    // The rows of a full write: 56 short of the end is not yet 100 %.
    gauge.SetMaxValue(968);
    gauge.SetProgress(967);
    EXPECT_EQ(gauge.PercentDone(), 99);
}

TEST_F(GaugeFixture, PercentageCountsFromMinValue) {
    gauge.SetMaxValue(300);
    gauge.SetMinValue(100);
    EXPECT_EQ(gauge.Progress(), 100);  // raised to the new minimum
    gauge.SetProgress(150);
    EXPECT_EQ(gauge.PercentDone(), 25);
    gauge.SetMinValue(301);  // above the maximum: refused
    EXPECT_EQ(gauge.MinValue(), 100);
}

// --- when it redraws -------------------------------------------------------------

TEST_F(GaugeFixture, SameProgressDrawsNothing) {
    makeGauge(396, 18);
    gauge.SetProgress(40);
    const auto before = gauge.redrawCount();
    gauge.SetProgress(40);
    EXPECT_EQ(gauge.redrawCount(), before);
    // A value clamped to the one in force is no change either.
    gauge.SetProgress(100);
    const auto atMax = gauge.redrawCount();
    gauge.SetProgress(150);
    EXPECT_EQ(gauge.redrawCount(), atMax);
}

TEST_F(GaugeFixture, ProgressWithinOnePercentIsStoredWithoutRedraw) {
    makeGauge(396, 18);
    gauge.SetMaxValue(1000);
    gauge.SetProgress(10);
    const auto before = gauge.redrawCount();
    gauge.SetProgress(11);
    EXPECT_EQ(gauge.Progress(), 11);
    EXPECT_EQ(gauge.redrawCount(), before);
    // Still 1 % at 19; 2 % at 20.
    gauge.SetProgress(19);
    EXPECT_EQ(gauge.redrawCount(), before);
    gauge.SetProgress(20);
    EXPECT_EQ(gauge.redrawCount(), before + 1);
}

TEST_F(GaugeFixture, SettingMaxValueRedraws) {
    makeGauge(396, 18);
    const auto before = gauge.redrawCount();
    gauge.SetMaxValue(968);
    EXPECT_EQ(gauge.redrawCount(), before + 1);
    gauge.SetMaxValue(0);
    EXPECT_EQ(gauge.redrawCount(), before + 1);
}

// --- drawing ---------------------------------------------------------------------

// The first column, scanning the middle row from the left edge of the interior,
// that is not in the bar colour; equals the bar's right edge.
int barEnd(const QImage& image, QColor bar) {
    const int y = image.height() / 2;
    int x = 1;
    while (x < image.width() && QColor(image.pixel(x, y)) == bar) ++x;
    return x;
}

struct BarCase {
    int width;
    int progress;  // of 100
};

class GaugeBar : public GaugeFixture, public testing::WithParamInterface<BarCase> {};

TEST_P(GaugeBar, RightEdgeFollowsTheWidthRule) {
    const auto [width, progress] = GetParam();
    makeGauge(width, 18);
    gauge.SetProgress(progress);
    const QImage image = capture();
    ASSERT_EQ(image.width(), width);
    // The bar ends at floor((W - 1) * percent / 100) from the left edge, but never
    // covers the frame and never starts left of the interior.
    const int rule = (width - 1) * progress / 100;
    const int expectedEnd = std::max(1, std::min(rule, width - 1));
    EXPECT_EQ(barEnd(image, kNavy), expectedEnd);
    if (expectedEnd < width - 1) {
        EXPECT_EQ(QColor(image.pixel(expectedEnd, 9)), kFace);
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, GaugeBar,
                         testing::Values(BarCase{396, 0}, BarCase{396, 1}, BarCase{396, 37},
                                         BarCase{396, 99}, BarCase{396, 100}, BarCase{57, 33},
                                         BarCase{57, 2}, BarCase{3, 100}),
                         [](const testing::TestParamInfo<BarCase>& bar) {
                             return "W" + std::to_string(bar.param.width) + "_P" +
                                    std::to_string(bar.param.progress);
                         });

TEST_F(GaugeFixture, FrameIsBlackAndBarFillsTheInteriorHeight) {
    makeGauge(100, 18);
    gauge.SetProgress(50);
    const QImage image = capture();
    for (int x = 0; x < 100; ++x) {
        EXPECT_EQ(QColor(image.pixel(x, 0)), QColor(Qt::black)) << x;
        EXPECT_EQ(QColor(image.pixel(x, 17)), QColor(Qt::black)) << x;
    }
    for (int y = 0; y < 18; ++y) {
        EXPECT_EQ(QColor(image.pixel(0, y)), QColor(Qt::black)) << y;
        EXPECT_EQ(QColor(image.pixel(99, y)), QColor(Qt::black)) << y;
    }
    for (int y = 1; y < 17; ++y) {
        EXPECT_EQ(QColor(image.pixel(1, y)), kNavy) << y;
        EXPECT_EQ(QColor(image.pixel(48, y)), kNavy) << y;
        EXPECT_EQ(QColor(image.pixel(49, y)), kFace) << y;
    }
}

TEST_F(GaugeFixture, WithoutBorderTheBarStartsAtTheEdge) {
    makeGauge(101, 10);
    gauge.SetBorderStyle(TBorderStyle::bsNone);
    gauge.SetProgress(50);
    const QImage image = capture();
    for (int y = 0; y < 10; ++y) {
        EXPECT_EQ(QColor(image.pixel(0, y)), kNavy) << y;
        EXPECT_EQ(QColor(image.pixel(49, y)), kNavy) << y;
        EXPECT_EQ(QColor(image.pixel(50, y)), kFace) << y;
        EXPECT_EQ(QColor(image.pixel(100, y)), kFace) << y;
    }
}

TEST_F(GaugeFixture, VerticalBarGrowsFromTheBottom) {
    makeGauge(20, 101);
    gauge.SetKind(TCGaugeKind::gkVerticalBar);
    gauge.SetProgress(50);
    const QImage image = capture();
    EXPECT_EQ(QColor(image.pixel(10, 99)), kNavy);
    EXPECT_EQ(QColor(image.pixel(10, 51)), kNavy);
    EXPECT_EQ(QColor(image.pixel(10, 50)), kFace);
    EXPECT_EQ(QColor(image.pixel(10, 1)), kFace);
}

}  // namespace
}  // namespace zb
