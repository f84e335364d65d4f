// A window held in memory: it records what the window's logic shows, for tests that
// run the logic without a toolkit.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "MainWindowView.h"
#include "TCGauge.h"
#include "WindowLayout.h"

namespace zb::test {

class MemoryWindowView final : public MainWindowView {
public:
    void redrawGauge(const TCGauge& gauge) override { redraws.push_back(gauge); }
    void setStatusPanel(int panel, const std::string& text) override {
        panels.at(static_cast<std::size_t>(panel)) = text;
        if (panel == layout::kProgressPanel) progressTexts.push_back(text);
    }
    void addInfoLine(const std::string& line) override { infoLines.push_back(line); }
    void clearInfoLines() override {
        infoLines.clear();
        ++clears;
    }
    void setUpdateButtonVisible(bool visible) override { updateButtonVisible = visible; }
    void placeGaugeAboveStatusBar() override { gaugePlaced = true; }
    GaugeColor buttonFaceColor() const override { return kFace; }
    void breakHeld() override {
        if (whileBreakHeld) whileBreakHeld();
    }

    static constexpr GaugeColor kFace{212, 208, 200};

    std::vector<TCGauge> redraws;  // the gauge's state at each redraw
    std::array<std::string, 2> panels;
    std::vector<std::string> progressTexts;
    std::vector<std::string> infoLines;
    int clears = 0;
    bool updateButtonVisible = true;
    bool gaugePlaced = false;
    std::function<void()> whileBreakHeld;
};

}  // namespace zb::test
