// GaugeWidget: Qt painting of the gauge's picture.
#include "GaugeWidget.h"

#include <cmath>
#include <numbers>

#include <QPainter>
#include <QPaintEvent>

namespace zb {

namespace {

QColor toQt(GaugeColor c) { return QColor(c.r, c.g, c.b); }
QRect toQt(const GaugeRect& r) { return QRect(r.left, r.top, r.width, r.height); }

}  // namespace

GaugeWidget::GaugeWidget(QWidget* parent) : QWidget(parent) {
    // The picture covers the whole control; nothing behind it needs painting first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void GaugeWidget::redraw(const TCGauge& gauge) {
    gauge_ = gauge;
    drawPicture();
    update();
}

void GaugeWidget::paintEvent(QPaintEvent* /*event*/) {
    if (picture_.size() != size()) drawPicture();
    QPainter painter(this);
    painter.drawPixmap(0, 0, picture_);
}

void GaugeWidget::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    drawPicture();
}

void GaugeWidget::drawPicture() {
    // One pixel per logical pixel, so that the bar's edge lands on the column the
    // gauge's rule names.
    picture_ = QPixmap(size());
    if (picture_.isNull()) return;
    QPainter painter(&picture_);
    const int w = width();
    const int h = height();
    painter.fillRect(rect(), toQt(kGaugeFrameColor));
    const GaugeRect interior = gauge_.Interior(w, h);
    if (interior.empty()) return;
    painter.fillRect(toQt(interior), toQt(gauge_.BackColor()));
    switch (gauge_.Kind()) {
    case TCGaugeKind::gkText:
        break;
    case TCGaugeKind::gkHorizontalBar:
        if (const GaugeRect bar = gauge_.HorizontalBar(w, h); !bar.empty())
            painter.fillRect(toQt(bar), toQt(gauge_.ForeColor()));
        break;
    case TCGaugeKind::gkVerticalBar:
        if (const GaugeRect bar = gauge_.VerticalBar(w, h); !bar.empty())
            painter.fillRect(toQt(bar), toQt(gauge_.ForeColor()));
        break;
    case TCGaugeKind::gkPie:
        drawPie(painter, toQt(interior));
        break;
    case TCGaugeKind::gkNeedle:
        drawNeedle(painter, toQt(interior));
        break;
    }
    if (gauge_.DrawsText()) {
        painter.setPen(toQt(gauge_.TextColor()));
        painter.drawText(toQt(interior), Qt::AlignCenter, QString::fromStdString(gauge_.PercentText()));
    }
}

void GaugeWidget::drawPie(QPainter& painter, const QRect& interior) const {
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect circle = interior.adjusted(1, 1, -1, -1);
    painter.setPen(Qt::black);
    painter.setBrush(toQt(gauge_.BackColor()));
    painter.drawEllipse(circle);
    // Clockwise from twelve o'clock; Qt counts angles in 1/16 degree, counter-clockwise.
    const int span = -gauge_.PercentDone() * 360 * 16 / 100;
    if (span != 0) {
        painter.setBrush(toQt(gauge_.ForeColor()));
        painter.drawPie(circle, 90 * 16, span);
    }
}

void GaugeWidget::drawNeedle(QPainter& painter, const QRect& interior) const {
    painter.setRenderHint(QPainter::Antialiasing);
    // A half dial standing on the bottom edge; the needle turns from left (0 %) to
    // right (100 %).
    const QRectF dial(interior.left(), interior.top(), interior.width(), 2.0 * interior.height());
    painter.setPen(Qt::black);
    painter.setBrush(toQt(gauge_.BackColor()));
    painter.drawChord(dial, 0, 180 * 16);
    const QPointF centre(dial.center().x(), interior.bottom());
    const double angle = std::numbers::pi * (1.0 - gauge_.PercentDone() / 100.0);
    const QPointF tip(centre.x() + std::cos(angle) * dial.width() / 2.0,
                      centre.y() - std::sin(angle) * dial.height() / 2.0);
    painter.setPen(QPen(toQt(gauge_.ForeColor()), 2));
    painter.drawLine(centre, tip);
}

}  // namespace zb
