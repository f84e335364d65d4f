// The main window's layout, the same for every front end: sizes, designed position,
// caption and where the gauge, its bevel and the status bar sit while the run shows.
//
// The window is 400 pixels wide and its client area only 41 pixels high: the bevel
// (22) with the gauge inside it, directly above the status bar (19). Nothing else is
// visible; the information list and the "Update" button stay hidden during the run.
// The designed sizes (600 wide, panels of 50) are those the window has before
// construction adapts it; a front end may start from them or go straight to the
// run-time layout, as long as the run-time layout below is what shows.
#pragma once

#include "TCGauge.h"

namespace zb::layout {

// Pixels.
inline constexpr int kWindowWidth = 400;
inline constexpr int kBevelHeight = 22;
inline constexpr int kGaugeHeight = 18;
inline constexpr int kStatusBarHeight = 19;
inline constexpr int kClientHeight = kBevelHeight + kStatusBarHeight;  // 41
// The gauge lies this far inside its bevel on every side.
inline constexpr int kGaugeInset = 2;

// The designed window before construction adapts it.
inline constexpr int kDesignedLeft = 392;  // screen position
inline constexpr int kDesignedTop = 413;
inline constexpr int kDesignedWidth = 600;  // bevel and gauge
inline constexpr int kDesignedPanelWidth = 50;
inline constexpr int kButtonLeft = 8;
inline constexpr int kButtonTop = 8;
inline constexpr int kButtonWidth = 161;
inline constexpr int kButtonHeight = 57;
inline constexpr int kButtonPointSize = 16;

inline constexpr const char* kCaption = "Progress";
inline constexpr const char* kUpdateButtonText = "Update";

// Status-bar panels.
inline constexpr int kPortStatePanel = 0;  // "%s active" / "%s not active"
inline constexpr int kProgressPanel = 1;   // addresses and completion of erase and write

// A rectangle in client coordinates: the gauge's own rectangle type.
using Rect = GaugeRect;

// Where everything sits while the run shows, for a client area of the given size.
struct RunLayout {
    Rect statusBar;    // along the bottom edge, across the window
    Rect bevel;        // directly above the status bar, across the window
    Rect gauge;        // inside the bevel, kGaugeInset from its edges, kGaugeHeight high
    int panel0Width;   // one third of the window width; panel 1 takes the rest
};

constexpr RunLayout runLayout(int clientWidth = kWindowWidth, int clientHeight = kClientHeight) {
    RunLayout l{};
    l.statusBar = {0, clientHeight - kStatusBarHeight, clientWidth, kStatusBarHeight};
    // The bevel is flush with the status bar rather than one pixel higher, so that
    // its top edge stays inside the 41-pixel client area.
    l.bevel = {0, l.statusBar.top - kBevelHeight, clientWidth, kBevelHeight};
    l.gauge = {l.bevel.left + kGaugeInset, l.bevel.top + kGaugeInset,
               l.bevel.width - 2 * kGaugeInset, kGaugeHeight};
    l.panel0Width = clientWidth / 3;
    return l;
}

static_assert(runLayout().panel0Width == 133);
static_assert(runLayout().bevel.top == 0);
static_assert(runLayout().gauge.bottom() <= runLayout().bevel.bottom());

}  // namespace zb::layout
