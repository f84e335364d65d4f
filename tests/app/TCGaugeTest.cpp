// The gauge's rules without a toolkit: values, the percentage, when a change needs a
// redraw, and where frame, interior and bar lie for a control of a given size.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "TCGauge.h"

namespace zb {
namespace {

// --- values ---------------------------------------------------------------------

TEST(TCGauge, ProgressIsClampedToTheRange) {
    TCGauge gauge;
    gauge.SetMaxValue(200);
    gauge.SetProgress(201);
    EXPECT_EQ(gauge.Progress(), 200);
    gauge.SetProgress(-5);
    EXPECT_EQ(gauge.Progress(), 0);
    gauge.SetProgress(INT32_MAX);
    EXPECT_EQ(gauge.Progress(), 200);
    EXPECT_EQ(gauge.PercentDone(), 100);
}

TEST(TCGauge, MaxValueZeroKeepsThePreviousMaximum) {
    TCGauge gauge;
    gauge.SetMaxValue(968);
    gauge.SetProgress(500);
    gauge.SetMaxValue(0);
    EXPECT_EQ(gauge.MaxValue(), 968);
    EXPECT_EQ(gauge.Progress(), 500);
}

TEST(TCGauge, LoweringMaxValueBelowProgressLowersProgress) {
    TCGauge gauge;
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

TEST(TCGauge, PercentageIsRoundedDown) {
    TCGauge gauge;
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

TEST(TCGauge, PercentageCountsFromMinValue) {
    TCGauge gauge;
    gauge.SetMaxValue(300);
    gauge.SetMinValue(100);
    EXPECT_EQ(gauge.Progress(), 100);  // raised to the new minimum
    gauge.SetProgress(150);
    EXPECT_EQ(gauge.PercentDone(), 25);
    gauge.SetMinValue(301);  // above the maximum: refused
    EXPECT_EQ(gauge.MinValue(), 100);
}

// --- when it redraws -------------------------------------------------------------

TEST(TCGauge, SameOrClampedToTheSameProgressNeedsNoRedraw) {
    TCGauge gauge;
    EXPECT_TRUE(gauge.SetProgress(40));
    EXPECT_FALSE(gauge.SetProgress(40));
    EXPECT_TRUE(gauge.SetProgress(100));
    EXPECT_FALSE(gauge.SetProgress(150)) << "clamped to the value in force";
    EXPECT_TRUE(gauge.SetProgress(0));
    EXPECT_FALSE(gauge.SetProgress(-3)) << "clamped to 0";
}

TEST(TCGauge, ProgressWithinOnePercentIsStoredWithoutRedraw) {
    TCGauge gauge;
    EXPECT_TRUE(gauge.SetMaxValue(1000));
    EXPECT_TRUE(gauge.SetProgress(10));
    EXPECT_FALSE(gauge.SetProgress(11));
    EXPECT_EQ(gauge.Progress(), 11);
    // Still 1 % at 19; 2 % at 20.
    EXPECT_FALSE(gauge.SetProgress(19));
    EXPECT_TRUE(gauge.SetProgress(20));
}

TEST(TCGauge, MaxValueRedrawsUnlessIgnored) {
    TCGauge gauge;
    EXPECT_TRUE(gauge.SetMaxValue(968));
    EXPECT_FALSE(gauge.SetMaxValue(0));
    EXPECT_TRUE(gauge.SetMaxValue(968)) << "a maximum set again redraws as well";
    EXPECT_FALSE(gauge.SetMinValue(0)) << "unchanged";
    EXPECT_FALSE(gauge.SetMaxValue(-1)) << "below the minimum";
}

TEST(TCGauge, LooksRedrawOnlyWhenTheyChange) {
    TCGauge gauge;
    EXPECT_FALSE(gauge.SetKind(TCGaugeKind::gkHorizontalBar));
    EXPECT_TRUE(gauge.SetKind(TCGaugeKind::gkPie));
    EXPECT_TRUE(gauge.SetShowText(false));
    EXPECT_FALSE(gauge.SetShowText(false));
    EXPECT_TRUE(gauge.SetBorderStyle(TBorderStyle::bsNone));
    EXPECT_TRUE(gauge.SetForeColor(kNavy));
    EXPECT_FALSE(gauge.SetForeColor({0, 0, 128}));
    EXPECT_TRUE(gauge.SetBackColor({212, 208, 200}));
}

// --- where it draws ----------------------------------------------------------------

struct BarCase {
    int width;
    int progress;  // of 100
    int edge;      // the bar's right edge (exclusive), 0 for no bar
};

class HorizontalBar : public testing::TestWithParam<BarCase> {};

TEST_P(HorizontalBar, RightEdgeFollowsTheWidthRuleInsideTheFrame) {
    const auto [width, progress, edge] = GetParam();
    TCGauge gauge;
    gauge.SetProgress(progress);
    EXPECT_EQ(gauge.BarRightEdge(width), (width - 1) * progress / 100);
    const GaugeRect bar = gauge.HorizontalBar(width, 18);
    if (edge == 0) {
        EXPECT_TRUE(bar.empty());
        return;
    }
    EXPECT_EQ(bar, (GaugeRect{1, 1, edge - 1, 16}));
}

// The edge cases: nothing at 0 % and where the rule's edge does not pass the frame
// (1 % and 2 % of 57), the frame kept at 100 %, and a control with no room for a bar.
INSTANTIATE_TEST_SUITE_P(Widths, HorizontalBar,
                         testing::Values(BarCase{396, 0, 0}, BarCase{396, 1, 3},
                                         BarCase{396, 37, 146}, BarCase{396, 99, 391},
                                         BarCase{396, 100, 395}, BarCase{57, 33, 18},
                                         BarCase{57, 1, 0}, BarCase{57, 2, 0}, BarCase{3, 100, 2},
                                         BarCase{2, 100, 0}),
                         [](const testing::TestParamInfo<BarCase>& bar) {
                             return "W" + std::to_string(bar.param.width) + "_P" +
                                    std::to_string(bar.param.progress);
                         });

TEST(TCGauge, FrameIsOnePixelOnlyWithASingleBorder) {
    TCGauge gauge;
    EXPECT_EQ(gauge.Interior(100, 18), (GaugeRect{1, 1, 98, 16}));
    gauge.SetBorderStyle(TBorderStyle::bsNone);
    EXPECT_EQ(gauge.Interior(100, 18), (GaugeRect{0, 0, 100, 18}));
    gauge.SetProgress(50);
    EXPECT_EQ(gauge.HorizontalBar(101, 10), (GaugeRect{0, 0, 50, 10}));
    EXPECT_TRUE(TCGauge().Interior(2, 2).empty());
}

TEST(TCGauge, VerticalBarGrowsFromTheBottomByTheSameRule) {
    TCGauge gauge;
    gauge.SetProgress(50);
    EXPECT_EQ(gauge.BarTop(101), 51);
    EXPECT_EQ(gauge.VerticalBar(20, 101), (GaugeRect{1, 51, 18, 49}));
    gauge.SetProgress(100);
    EXPECT_EQ(gauge.VerticalBar(20, 101), (GaugeRect{1, 1, 18, 99})) << "the frame stays";
    gauge.SetProgress(0);
    EXPECT_TRUE(gauge.VerticalBar(20, 101).empty());
}

TEST(TCGauge, TextShowsTheWholePercentage) {
    TCGauge gauge;
    gauge.SetMaxValue(3);
    gauge.SetProgress(2);
    EXPECT_TRUE(gauge.DrawsText());
    EXPECT_EQ(gauge.PercentText(), "66%");
    gauge.SetShowText(false);
    EXPECT_FALSE(gauge.DrawsText());
    gauge.SetKind(TCGaugeKind::gkText);
    EXPECT_TRUE(gauge.DrawsText()) << "the text kind always shows it";
}

}  // namespace
}  // namespace zb
