// GaugeWidget: paints a TCGauge with Qt, into an off-screen pixmap that it copies
// to the screen in one step. What to draw and when is decided by the TCGauge.
#pragma once

#include <QPixmap>
#include <QWidget>

#include "TCGauge.h"

class QPainter;

namespace zb {

class GaugeWidget final : public QWidget {
public:
    explicit GaugeWidget(QWidget* parent = nullptr);

    // Takes a copy of the gauge's state, draws the picture and schedules its copy
    // to the screen.
    void redraw(const TCGauge& gauge);
    const TCGauge& gauge() const { return gauge_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void drawPicture();
    void drawPie(QPainter& painter, const QRect& interior) const;
    void drawNeedle(QPainter& painter, const QRect& interior) const;

    TCGauge gauge_;
    QPixmap picture_;
};

}  // namespace zb
