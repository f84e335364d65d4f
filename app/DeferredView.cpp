// DeferredView: keeping what the window shows until it is built.
#include "DeferredView.h"

#include <utility>

#include "WindowLayout.h"

namespace zb {

DeferredView::DeferredView(std::function<MainWindowView*()> build, std::function<void()> show)
    : build_(std::move(build)), show_(std::move(show)) {}

void DeferredView::build() {
    if (tried_) return;
    tried_ = true;
    MainWindowView* window = build_();
    if (window == nullptr) return;
    window_ = window;
    for (const std::string& line : infoLines_) window->addInfoLine(line);
    infoLines_.clear();
    for (int panel = 0; panel < static_cast<int>(panels_.size()); ++panel) {
        if (panels_[panel]) window->setStatusPanel(panel, *panels_[panel]);
    }
    if (updateButtonVisible_) window->setUpdateButtonVisible(*updateButtonVisible_);
    // The gauge is drawn at the size and place it has during the run.
    if (gaugePlaced_) window->placeGaugeAboveStatusBar();
    if (gauge_) redrawGauge(*gauge_);
    if (show_) show_();
}

void DeferredView::redrawGauge(const TCGauge& gauge) {
    if (!window_) {
        gauge_ = gauge;
        return;
    }
    TCGauge drawn = gauge;
    drawn.SetBackColor(window_->buttonFaceColor());
    window_->redrawGauge(drawn);
}

void DeferredView::setStatusPanel(int panel, const std::string& text) {
    if (window_) {
        window_->setStatusPanel(panel, text);
    } else {
        panels_[panel == layout::kPortStatePanel ? 0 : 1] = text;
    }
}

void DeferredView::addInfoLine(const std::string& line) {
    if (window_) {
        window_->addInfoLine(line);
    } else if (!tried_) {
        infoLines_.push_back(line);
    }
}

void DeferredView::clearInfoLines() {
    if (window_) {
        window_->clearInfoLines();
    } else {
        infoLines_.clear();
    }
}

void DeferredView::setUpdateButtonVisible(bool visible) {
    if (window_) {
        window_->setUpdateButtonVisible(visible);
    } else {
        updateButtonVisible_ = visible;
    }
}

void DeferredView::placeGaugeAboveStatusBar() {
    if (window_) {
        window_->placeGaugeAboveStatusBar();
    } else {
        gaugePlaced_ = true;
    }
}

GaugeColor DeferredView::buttonFaceColor() const {
    if (window_) return window_->buttonFaceColor();
    return TCGauge().BackColor();
}

}  // namespace zb
