// TCGauge: a gauge that shows Progress between MinValue and MaxValue as a bar, a
// pie, a needle or a percentage text.
//
// It draws into an off-screen pixmap and copies that to the screen in one step, and
// it redraws on a Progress change only when the whole-number percentage changes, so
// that the flash writer can set Progress after every command without flicker or
// needless drawing.
#pragma once

#include <cstdint>

#include <QColor>
#include <QPixmap>
#include <QWidget>

class QPainter;

namespace zb {

enum class TCGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum class TBorderStyle { bsNone, bsSingle };

class TCGauge : public QWidget {
public:
    explicit TCGauge(QWidget* parent = nullptr);

    std::int32_t MinValue() const { return minValue_; }
    std::int32_t MaxValue() const { return maxValue_; }
    std::int32_t Progress() const { return progress_; }
    TCGaugeKind Kind() const { return kind_; }
    bool ShowText() const { return showText_; }
    TBorderStyle BorderStyle() const { return borderStyle_; }
    QColor ForeColor() const { return foreColor_; }
    QColor BackColor() const { return backColor_; }

    // A minimum above MaxValue is ignored; Progress is raised to the new minimum.
    void SetMinValue(std::int32_t value);
    // 0 is ignored (the previous maximum stays), as is a maximum below MinValue;
    // Progress is lowered to the new maximum.
    void SetMaxValue(std::int32_t value);
    // Clamped to MinValue .. MaxValue. Redraws only when the whole-number percentage
    // changes.
    void SetProgress(std::int32_t value);
    void SetKind(TCGaugeKind kind);
    void SetShowText(bool on);
    void SetBorderStyle(TBorderStyle style);
    void SetForeColor(const QColor& color);
    void SetBackColor(const QColor& color);

    // floor(100 * (Progress - MinValue) / (MaxValue - MinValue)); 0 for an empty range.
    int PercentDone() const;

    // How often the off-screen picture has been drawn; for tests of the redraw rule.
    std::uint64_t redrawCount() const { return redrawCount_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Draws the off-screen picture and schedules its copy to the screen.
    void redraw();
    void drawPicture();
    void drawBar(QPainter& painter, const QRect& interior, bool horizontal) const;
    void drawPie(QPainter& painter, const QRect& interior) const;
    void drawNeedle(QPainter& painter, const QRect& interior) const;
    void drawText(QPainter& painter, const QRect& interior) const;

    std::int32_t minValue_ = 0;
    std::int32_t maxValue_ = 100;
    std::int32_t progress_ = 0;
    TCGaugeKind kind_ = TCGaugeKind::gkHorizontalBar;
    bool showText_ = true;
    TBorderStyle borderStyle_ = TBorderStyle::bsSingle;
    QColor foreColor_{Qt::black};
    QColor backColor_{Qt::white};
    QPixmap picture_;
    std::uint64_t redrawCount_ = 0;
};

}  // namespace zb
