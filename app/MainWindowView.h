// MainWindowView: what the window's logic (TMainWindow) needs of a front end's window.
// A front end (the Qt window, a native one, an in-memory one in the tests) builds
// the window with the layout of WindowLayout.h, implements this interface and
// connects its "Update" button's click to TMainWindow::UpdateButtonClick.
//
// All calls come on the main thread. The texts come from outside the program (the
// port name is the command line's): a view shows them as plain text, never markup.
#pragma once

#include <string>

#include "TCGauge.h"

namespace zb {

class MainWindowView {
public:
    virtual ~MainWindowView() = default;

    // Paints the gauge as the model says (TCGauge's drawing rules) into an off-screen
    // picture and puts that on the screen in one step. Called only when the model
    // decided that a redraw is due; the view keeps a copy for its own repaints.
    virtual void redrawGauge(const TCGauge& gauge) = 0;
    // Status-bar panel layout::kPortStatePanel (0) or layout::kProgressPanel (1).
    virtual void setStatusPanel(int panel, const std::string& text) = 0;
    // The hidden information list: lines are only ever appended at the end.
    virtual void addInfoLine(const std::string& line) = 0;
    virtual void clearInfoLines() = 0;
    virtual void setUpdateButtonVisible(bool visible) = 0;
    // Puts the bevel directly above the status bar across the window and the gauge
    // inside it (layout::runLayout), as the run shows them.
    virtual void placeGaugeAboveStatusBar() = 0;
    // The system's button-face colour: the gauge's background.
    virtual GaugeColor buttonFaceColor() const = 0;
    // The run holds the line in break, a second with nothing else to do: a front
    // end that put off building its window builds and shows it now.
    virtual void breakHeld() {}
};

}  // namespace zb
