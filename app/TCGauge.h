// TCGauge: the progress gauge's state and every rule of it, without a toolkit. It
// keeps MinValue, MaxValue and Progress, decides the whole-number percentage and
// whether a change needs a redraw, and says where the frame, the interior and the
// bar lie for a control of a given size. A front end paints exactly that, into an
// off-screen picture that it copies to the screen in one step.
//
// Redrawing on a Progress change only when the percentage changes lets the flash
// writer set Progress after every command without flicker or needless drawing.
#pragma once

#include <cstdint>
#include <string>

namespace zb {

enum class TCGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum class TBorderStyle { bsNone, bsSingle };

// A colour as 8-bit red, green and blue.
struct GaugeColor {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    constexpr bool operator==(const GaugeColor&) const = default;
};

inline constexpr GaugeColor kGaugeFrameColor{0, 0, 0};  // black
inline constexpr GaugeColor kNavy{0, 0, 128};

// A rectangle of the control, in pixels from its top left corner; right and bottom
// are exclusive. Empty when width or height is 0.
struct GaugeRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    constexpr int right() const { return left + width; }
    constexpr int bottom() const { return top + height; }
    constexpr bool empty() const { return width <= 0 || height <= 0; }
    constexpr bool operator==(const GaugeRect&) const = default;
};

class TCGauge {
public:
    std::int32_t MinValue() const { return minValue_; }
    std::int32_t MaxValue() const { return maxValue_; }
    std::int32_t Progress() const { return progress_; }
    TCGaugeKind Kind() const { return kind_; }
    bool ShowText() const { return showText_; }
    TBorderStyle BorderStyle() const { return borderStyle_; }
    GaugeColor ForeColor() const { return foreColor_; }
    GaugeColor BackColor() const { return backColor_; }

    // Each setter returns true when the gauge must be redrawn now.

    // A minimum above MaxValue is ignored; Progress is raised to the new minimum.
    bool SetMinValue(std::int32_t value);
    // 0 is ignored (the previous maximum stays), as is a maximum below MinValue;
    // Progress is lowered to the new maximum. Any other value redraws.
    bool SetMaxValue(std::int32_t value);
    // Clamped to MinValue .. MaxValue. A changed value is stored; it redraws only
    // when the whole-number percentage changed with it.
    bool SetProgress(std::int32_t value);
    bool SetKind(TCGaugeKind kind);
    bool SetShowText(bool on);
    bool SetBorderStyle(TBorderStyle style);
    bool SetForeColor(GaugeColor color);
    bool SetBackColor(GaugeColor color);

    // floor(100 * (Progress - MinValue) / (MaxValue - MinValue)), computed in floating
    // point; 0 for an empty range.
    int PercentDone() const;

    // Drawing, for a control `width` x `height` pixels. The whole control is first
    // painted kGaugeFrameColor; with bsSingle that leaves a one-pixel frame around
    // the interior, which is filled with BackColor; the bar is then filled with
    // ForeColor.
    GaugeRect Interior(int width, int height) const;
    // Horizontal bar: from the interior's left edge over the interior's full height;
    // its right edge at BarRightEdge(width), never over the frame. Empty at 0 %.
    GaugeRect HorizontalBar(int width, int height) const;
    // floor((width - 1) * percentage / 100): the horizontal bar's right edge, in
    // pixels from the control's left edge, before it is kept off the frame.
    int BarRightEdge(int width) const;
    // Vertical bar: the same rule upward from the bottom edge, over the interior's
    // full width; its top at BarTop(height), never over the frame.
    GaugeRect VerticalBar(int width, int height) const;
    // height - floor((height - 1) * percentage / 100).
    int BarTop(int height) const;
    // Whether the percentage text is drawn (ShowText, or the text kind), and the text.
    bool DrawsText() const { return showText_ || kind_ == TCGaugeKind::gkText; }
    std::string PercentText() const;
    // The text is drawn in ForeColor for the text kind and in black over a picture.
    GaugeColor TextColor() const;

private:
    std::int32_t minValue_ = 0;
    std::int32_t maxValue_ = 100;
    std::int32_t progress_ = 0;
    TCGaugeKind kind_ = TCGaugeKind::gkHorizontalBar;
    bool showText_ = true;
    TBorderStyle borderStyle_ = TBorderStyle::bsSingle;
    GaugeColor foreColor_{0, 0, 0};
    GaugeColor backColor_{255, 255, 255};
};

// The run's gauge, as designed: a horizontal bar without text in a single frame,
// navy on the button face `back`, 0 of 100.
void SetUpRunGauge(TCGauge& gauge, GaugeColor back);

}  // namespace zb
