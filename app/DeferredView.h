// DeferredView: the program's window, built and shown only once the run holds the
// line in break.
//
// Loading the window's toolkit and building the window take tens of milliseconds of
// processor time, which would otherwise come before the first byte on the line, and
// which programs started together have to share. In the break the run has a second
// with nothing to do. Until the window exists, this view keeps what the window's
// logic showed and hands it to the window when it is built.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "MainWindowView.h"

namespace zb {

class DeferredView final : public MainWindowView {
public:
    // `build` makes the window, not yet shown, and returns it; or null when no window
    // can be had, and the run then goes on without one. `show` shows the window once
    // it has what came before. The window must outlive this view.
    DeferredView(std::function<MainWindowView*()> build, std::function<void()> show);

    // Builds the window with everything shown so far and shows it; tried once.
    void build();
    // The window, or null before build() or when there is none.
    MainWindowView* window() const { return window_; }

    // MainWindowView.
    void redrawGauge(const TCGauge& gauge) override;
    void setStatusPanel(int panel, const std::string& text) override;
    void addInfoLine(const std::string& line) override;
    void clearInfoLines() override;
    void setUpdateButtonVisible(bool visible) override;
    void placeGaugeAboveStatusBar() override;
    // Before the window exists its button face is not known: the gauge takes it from
    // the window whenever it is drawn there.
    GaugeColor buttonFaceColor() const override;
    void breakHeld() override { build(); }

private:
    std::function<MainWindowView*()> build_;
    std::function<void()> show_;
    bool tried_ = false;
    MainWindowView* window_ = nullptr;
    // What the window gets when it is built.
    std::optional<TCGauge> gauge_;
    std::array<std::optional<std::string>, 2> panels_;
    std::vector<std::string> infoLines_;
    std::optional<bool> updateButtonVisible_;
    bool gaugePlaced_ = false;
};

}  // namespace zb
