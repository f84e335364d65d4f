// The gauge's rules: values, percentage, redraw decisions and drawing geometry.
#include "TCGauge.h"

#include <algorithm>
#include <cmath>

namespace zb {

bool TCGauge::SetMinValue(std::int32_t value) {
    if (value == minValue_ || value > maxValue_) return false;
    minValue_ = value;
    if (progress_ < minValue_) progress_ = minValue_;
    return true;
}

bool TCGauge::SetMaxValue(std::int32_t value) {
    // The flash writer sets the maximum from a block count that can be 0; keeping the
    // previous maximum then avoids an empty range. A maximum below the minimum would
    // make the range meaningless and is ignored as well.
    if (value == 0 || value < minValue_) return false;
    maxValue_ = value;
    if (progress_ > maxValue_) progress_ = maxValue_;
    return true;
}

bool TCGauge::SetProgress(std::int32_t value) {
    value = std::clamp(value, minValue_, maxValue_);
    if (value == progress_) return false;
    const int before = PercentDone();
    progress_ = value;
    return PercentDone() != before;
}

bool TCGauge::SetKind(TCGaugeKind kind) {
    if (kind == kind_) return false;
    kind_ = kind;
    return true;
}

bool TCGauge::SetShowText(bool on) {
    if (on == showText_) return false;
    showText_ = on;
    return true;
}

bool TCGauge::SetBorderStyle(TBorderStyle style) {
    if (style == borderStyle_) return false;
    borderStyle_ = style;
    return true;
}

bool TCGauge::SetForeColor(GaugeColor color) {
    if (color == foreColor_) return false;
    foreColor_ = color;
    return true;
}

bool TCGauge::SetBackColor(GaugeColor color) {
    if (color == backColor_) return false;
    backColor_ = color;
    return true;
}

int TCGauge::PercentDone() const {
    if (maxValue_ == minValue_) return 0;
    const double done = static_cast<double>(progress_) - minValue_;
    const double range = static_cast<double>(maxValue_) - minValue_;
    return static_cast<int>(std::floor(100.0 * done / range));
}

GaugeRect TCGauge::Interior(int width, int height) const {
    const int frame = borderStyle_ == TBorderStyle::bsSingle ? 1 : 0;
    return {frame, frame, std::max(0, width - 2 * frame), std::max(0, height - 2 * frame)};
}

int TCGauge::BarRightEdge(int width) const { return (width - 1) * PercentDone() / 100; }

GaugeRect TCGauge::HorizontalBar(int width, int height) const {
    const GaugeRect interior = Interior(width, height);
    if (interior.empty()) return {};
    // At 100 % the edge reaches the frame's column; the bar stops inside it.
    const int edge = std::min(BarRightEdge(width), interior.right());
    if (edge <= interior.left) return {};
    return {interior.left, interior.top, edge - interior.left, interior.height};
}

int TCGauge::BarTop(int height) const { return height - (height - 1) * PercentDone() / 100; }

GaugeRect TCGauge::VerticalBar(int width, int height) const {
    const GaugeRect interior = Interior(width, height);
    if (interior.empty()) return {};
    const int top = std::max(BarTop(height), interior.top);
    if (top >= interior.bottom()) return {};
    return {interior.left, top, interior.width, interior.bottom() - top};
}

std::string TCGauge::PercentText() const { return std::to_string(PercentDone()) + "%"; }

GaugeColor TCGauge::TextColor() const {
    return kind_ == TCGaugeKind::gkText ? foreColor_ : kGaugeFrameColor;
}

void SetUpRunGauge(TCGauge& gauge, GaugeColor back) {
    gauge.SetKind(TCGaugeKind::gkHorizontalBar);
    gauge.SetShowText(false);
    gauge.SetBorderStyle(TBorderStyle::bsSingle);
    gauge.SetForeColor(kNavy);
    gauge.SetBackColor(back);
    gauge.SetMinValue(0);
    gauge.SetMaxValue(100);
}

}  // namespace zb
