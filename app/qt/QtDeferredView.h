// QtDeferredView: the program's window, built and shown only once the run holds the
// line in break.
//
// Building the window loads the style and the fonts and creates the widgets: about
// 11 ms of processor time, which would otherwise come before the first byte on the
// line, and which programs started together have to share. In the break the run has
// a second with nothing to do. Until the window exists, this view keeps what the
// window's logic showed and hands it to the window when it is built.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MainWindowView.h"
#include "QtMainWindow.h"

namespace zb {

class QtDeferredView final : public MainWindowView {
public:
    // `built` is called with the window as soon as it exists, before it is shown:
    // the place to connect its widgets.
    explicit QtDeferredView(std::function<void(QtMainWindow&)> built = {});

    // Builds the window with everything shown so far and shows it; once.
    void build();
    // The window, or null before build().
    QtMainWindow* window() const { return window_.get(); }

    // MainWindowView.
    void redrawGauge(const TCGauge& gauge) override;
    void setStatusPanel(int panel, const std::string& text) override;
    void addInfoLine(const std::string& line) override;
    void clearInfoLines() override;
    void setUpdateButtonVisible(bool visible) override;
    void placeGaugeAboveStatusBar() override;
    GaugeColor buttonFaceColor() const override;
    void breakHeld() override { build(); }

private:
    std::function<void(QtMainWindow&)> built_;
    std::unique_ptr<QtMainWindow> window_;
    // What the window gets when it is built.
    std::optional<TCGauge> gauge_;
    std::array<std::optional<std::string>, 2> panels_;
    std::vector<std::string> infoLines_;
    std::optional<bool> updateButtonVisible_;
    bool gaugePlaced_ = false;
};

}  // namespace zb
