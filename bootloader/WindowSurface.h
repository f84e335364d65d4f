// The parts of the main window that the connection object writes to. The program's
// window implements them with its toolkit; tests implement them in memory.
#pragma once

#include <cstdint>
#include <string>

namespace zb {

// The information list: lines are only ever appended.
class InfoList {
public:
    virtual ~InfoList() = default;
    virtual void addLine(const std::string& line) = 0;
};

// A text shown by the window, such as the port-state panel of the status bar.
class TextTarget {
public:
    virtual ~TextTarget() = default;
    virtual void setText(const std::string& text) = 0;
};

// What the connection reaches through the main window: the result of the run, the
// progress panel of the status bar and the gauge.
class MainWindowSurface {
public:
    virtual ~MainWindowSurface() = default;
    // Stores a one-line result text of the run in "status.dat".
    virtual void ReportResult(const std::string& text) = 0;
    // Panel 1 of the status bar: the address and completion texts of erase and write.
    virtual void setProgressText(const std::string& text) = 0;
    // The gauge: MaxValue 0 is ignored; Progress is clamped to 0 .. MaxValue and
    // reads back clamped.
    virtual void setGaugeMax(std::int32_t maxValue) = 0;
    virtual void setGaugeProgress(std::int32_t progress) = 0;
    virtual std::int32_t gaugeProgress() const = 0;
    // The erase or write phase, named by the information line that started it, has
    // done `done` of `total` (its own units); called as the phase advances.
    virtual void showPhaseShare(const std::string& phase, std::int64_t done, std::int64_t total) {
        (void)phase;
        (void)done;
        (void)total;
    }
    // The line is being held in break: for the next second the run has nothing to
    // do but wait. Called once the break's timer runs, before the wait.
    virtual void breakHeld() {}
};

}  // namespace zb
