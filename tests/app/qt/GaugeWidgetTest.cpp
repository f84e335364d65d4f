// The gauge's picture as Qt paints it, read back from a capture of the widget.
#include <algorithm>
#include <string>

#include <QImage>
#include <gtest/gtest.h>

#include "GaugeWidget.h"
#include "TCGauge.h"

namespace zb {
namespace {

const QColor kNavyQt(0, 0, 128);
const QColor kFace(212, 208, 200);

// A gauge as the main window sets it up, at the given size.
class GaugeFixture : public testing::Test {
protected:
    void makeGauge(int width, int height) {
        widget.resize(width, height);
        gauge.SetKind(TCGaugeKind::gkHorizontalBar);
        gauge.SetShowText(false);
        gauge.SetBorderStyle(TBorderStyle::bsSingle);
        gauge.SetForeColor(kNavy);
        gauge.SetBackColor({212, 208, 200});
    }
    QImage capture() {
        widget.redraw(gauge);
        return widget.grab().toImage();
    }

    TCGauge gauge;
    GaugeWidget widget;
};

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
    EXPECT_EQ(barEnd(image, kNavyQt), expectedEnd);
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
        EXPECT_EQ(QColor(image.pixel(1, y)), kNavyQt) << y;
        EXPECT_EQ(QColor(image.pixel(48, y)), kNavyQt) << y;
        EXPECT_EQ(QColor(image.pixel(49, y)), kFace) << y;
    }
}

TEST_F(GaugeFixture, WithoutBorderTheBarStartsAtTheEdge) {
    makeGauge(101, 10);
    gauge.SetBorderStyle(TBorderStyle::bsNone);
    gauge.SetProgress(50);
    const QImage image = capture();
    for (int y = 0; y < 10; ++y) {
        EXPECT_EQ(QColor(image.pixel(0, y)), kNavyQt) << y;
        EXPECT_EQ(QColor(image.pixel(49, y)), kNavyQt) << y;
        EXPECT_EQ(QColor(image.pixel(50, y)), kFace) << y;
        EXPECT_EQ(QColor(image.pixel(100, y)), kFace) << y;
    }
}

TEST_F(GaugeFixture, VerticalBarGrowsFromTheBottom) {
    makeGauge(20, 101);
    gauge.SetKind(TCGaugeKind::gkVerticalBar);
    gauge.SetProgress(50);
    const QImage image = capture();
    EXPECT_EQ(QColor(image.pixel(10, 99)), kNavyQt);
    EXPECT_EQ(QColor(image.pixel(10, 51)), kNavyQt);
    EXPECT_EQ(QColor(image.pixel(10, 50)), kFace);
    EXPECT_EQ(QColor(image.pixel(10, 1)), kFace);
}

}  // namespace
}  // namespace zb
