#include "TCGauge.h"

#include <cmath>
#include <numbers>

#include <QPainter>
#include <QPainterPath>
#include <QPaintEvent>

namespace zb {

TCGauge::TCGauge(QWidget* parent) : QWidget(parent) {
    // The picture covers the whole control; nothing behind it needs painting first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TCGauge::SetMinValue(std::int32_t value) {
    if (value == minValue_ || value > maxValue_) return;
    minValue_ = value;
    if (progress_ < minValue_) progress_ = minValue_;
    redraw();
}

void TCGauge::SetMaxValue(std::int32_t value) {
    // The flash writer sets the maximum from a block count that can be 0; keeping the
    // previous maximum then avoids an empty range. A maximum below the minimum would
    // make the range meaningless and is ignored as well.
    if (value == 0 || value < minValue_) return;
    maxValue_ = value;
    if (progress_ > maxValue_) progress_ = maxValue_;
    redraw();
}

void TCGauge::SetProgress(std::int32_t value) {
    if (value < minValue_) value = minValue_;
    if (value > maxValue_) value = maxValue_;
    if (value == progress_) return;
    const int before = PercentDone();
    progress_ = value;
    if (PercentDone() != before) redraw();
}

void TCGauge::SetKind(TCGaugeKind kind) {
    if (kind == kind_) return;
    kind_ = kind;
    redraw();
}

void TCGauge::SetShowText(bool on) {
    if (on == showText_) return;
    showText_ = on;
    redraw();
}

void TCGauge::SetBorderStyle(TBorderStyle style) {
    if (style == borderStyle_) return;
    borderStyle_ = style;
    redraw();
}

void TCGauge::SetForeColor(const QColor& color) {
    if (color == foreColor_) return;
    foreColor_ = color;
    redraw();
}

void TCGauge::SetBackColor(const QColor& color) {
    if (color == backColor_) return;
    backColor_ = color;
    redraw();
}

int TCGauge::PercentDone() const {
    if (maxValue_ == minValue_) return 0;
    const double done = static_cast<double>(progress_) - minValue_;
    const double range = static_cast<double>(maxValue_) - minValue_;
    return static_cast<int>(std::floor(100.0 * done / range));
}

void TCGauge::redraw() {
    drawPicture();
    update();
}

void TCGauge::paintEvent(QPaintEvent* /*event*/) {
    if (picture_.size() != size()) drawPicture();
    QPainter painter(this);
    painter.drawPixmap(0, 0, picture_);
}

void TCGauge::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    drawPicture();
}

void TCGauge::drawPicture() {
    ++redrawCount_;
    // The picture is drawn at one pixel per logical pixel, so that the bar's edge
    // lands on the column the drawing rule names.
    picture_ = QPixmap(size());
    if (picture_.isNull()) return;
    QPainter painter(&picture_);
    painter.fillRect(rect(), Qt::black);
    const QRect interior =
        borderStyle_ == TBorderStyle::bsSingle ? rect().adjusted(1, 1, -1, -1) : rect();
    if (interior.isEmpty()) return;
    painter.fillRect(interior, backColor_);
    switch (kind_) {
    case TCGaugeKind::gkText:
        break;
    case TCGaugeKind::gkHorizontalBar:
        drawBar(painter, interior, true);
        break;
    case TCGaugeKind::gkVerticalBar:
        drawBar(painter, interior, false);
        break;
    case TCGaugeKind::gkPie:
        drawPie(painter, interior);
        break;
    case TCGaugeKind::gkNeedle:
        drawNeedle(painter, interior);
        break;
    }
    if (showText_ || kind_ == TCGaugeKind::gkText) drawText(painter, interior);
}

void TCGauge::drawBar(QPainter& painter, const QRect& interior, bool horizontal) const {
    const int percent = PercentDone();
    if (horizontal) {
        // The bar's right edge lies (width - 1) * percent / 100 pixels from the
        // control's left edge; at 100 % it reaches the frame.
        const int edge = std::min((width() - 1) * percent / 100, interior.right() + 1);
        if (edge > interior.left())
            painter.fillRect(QRect(interior.left(), interior.top(), edge - interior.left(),
                                   interior.height()),
                             foreColor_);
    } else {
        // The same rule upward from the bottom edge.
        const int fill = (height() - 1) * percent / 100;
        const int top = std::max(height() - fill, interior.top());
        const int bottom = interior.bottom() + 1;
        if (bottom > top)
            painter.fillRect(QRect(interior.left(), top, interior.width(), bottom - top),
                             foreColor_);
    }
}

void TCGauge::drawPie(QPainter& painter, const QRect& interior) const {
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect circle = interior.adjusted(1, 1, -1, -1);
    painter.setPen(Qt::black);
    painter.setBrush(backColor_);
    painter.drawEllipse(circle);
    // Clockwise from twelve o'clock; Qt counts angles in 1/16 degree, counter-clockwise.
    const int span = -PercentDone() * 360 * 16 / 100;
    if (span != 0) {
        painter.setBrush(foreColor_);
        painter.drawPie(circle, 90 * 16, span);
    }
}

void TCGauge::drawNeedle(QPainter& painter, const QRect& interior) const {
    painter.setRenderHint(QPainter::Antialiasing);
    // A half dial standing on the bottom edge; the needle turns from left (0 %) to
    // right (100 %).
    const QRectF dial(interior.left(), interior.top(), interior.width(),
                      2.0 * interior.height());
    painter.setPen(Qt::black);
    painter.setBrush(backColor_);
    painter.drawChord(dial, 0, 180 * 16);
    const QPointF centre(dial.center().x(), interior.bottom());
    const double angle = std::numbers::pi * (1.0 - PercentDone() / 100.0);
    const QPointF tip(centre.x() + std::cos(angle) * dial.width() / 2.0,
                      centre.y() - std::sin(angle) * dial.height() / 2.0);
    painter.setPen(QPen(foreColor_, 2));
    painter.drawLine(centre, tip);
}

void TCGauge::drawText(QPainter& painter, const QRect& interior) const {
    painter.setPen(kind_ == TCGaugeKind::gkText ? foreColor_ : QColor(Qt::black));
    painter.drawText(interior, Qt::AlignCenter, QStringLiteral("%1%").arg(PercentDone()));
}

}  // namespace zb
