// QtDeferredView: keeping what the window shows until it is built.
#include "QtDeferredView.h"

#include <QApplication>

#include <utility>

#include "WindowLayout.h"

namespace zb {

QtDeferredView::QtDeferredView(std::function<void(QtMainWindow&)> built) : built_(std::move(built)) {}

void QtDeferredView::build() {
    if (window_) return;
    window_ = std::make_unique<QtMainWindow>();
    QtMainWindow& window = *window_;
    if (built_) built_(window);
    for (const std::string& line : infoLines_) window.addInfoLine(line);
    infoLines_.clear();
    for (int panel = 0; panel < static_cast<int>(panels_.size()); ++panel) {
        if (panels_[panel]) window.setStatusPanel(panel, *panels_[panel]);
    }
    if (updateButtonVisible_) window.setUpdateButtonVisible(*updateButtonVisible_);
    // The gauge is drawn at the size and place it has during the run.
    if (gaugePlaced_) window.placeGaugeAboveStatusBar();
    if (gauge_) window.redrawGauge(*gauge_);
    window.show();
}

void QtDeferredView::redrawGauge(const TCGauge& gauge) {
    if (window_) {
        window_->redrawGauge(gauge);
    } else {
        gauge_ = gauge;
    }
}

void QtDeferredView::setStatusPanel(int panel, const std::string& text) {
    if (window_) {
        window_->setStatusPanel(panel, text);
    } else {
        panels_[panel == layout::kPortStatePanel ? 0 : 1] = text;
    }
}

void QtDeferredView::addInfoLine(const std::string& line) {
    if (window_) {
        window_->addInfoLine(line);
    } else {
        infoLines_.push_back(line);
    }
}

void QtDeferredView::clearInfoLines() {
    if (window_) {
        window_->clearInfoLines();
    } else {
        infoLines_.clear();
    }
}

void QtDeferredView::setUpdateButtonVisible(bool visible) {
    if (window_) {
        window_->setUpdateButtonVisible(visible);
    } else {
        updateButtonVisible_ = visible;
    }
}

void QtDeferredView::placeGaugeAboveStatusBar() {
    if (window_) {
        window_->placeGaugeAboveStatusBar();
    } else {
        gaugePlaced_ = true;
    }
}

GaugeColor QtDeferredView::buttonFaceColor() const {
    if (window_) return window_->buttonFaceColor();
    // The window takes the application's palette.
    return QtMainWindow::buttonFaceOf(QApplication::palette());
}

}  // namespace zb
