// TMainWindow: the logic of the program's one window, the same for every front end.
// It owns the bootloader connection, the two byte buffers, the flash image, the
// parser, the gauge's state and the run state; reads the command line; opens the
// port named there; runs the unattended update once the event loop is idle; and
// stores the result text of the run in "status.dat". It reaches its window through
// MainWindowView and the event loop through MainThread.
//
// A front end creates its main thread and its window (the view), then a TMainWindow
// with both, calls FormCreate, shows the window unless termination was requested,
// and runs the event loop; the idle handler that starts the run is installed here.
// A front end may instead put off building its window until the run holds the line
// in break (MainWindowView::breakHeld), keeping what is shown until then.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Bootloadercomm.h"
#include "HexParser.h"
#include "MainThread.h"
#include "MainWindowView.h"
#include "TCGauge.h"
#include "WindowSurface.h"

namespace zb {

class TMainWindow final : public MainWindowSurface {
public:
    // `arguments` are the command-line arguments after the program name; the first
    // one names the serial port, the others are ignored. Without one, "No parameter"
    // is reported and termination requested. First of all the result of an earlier
    // run is cleared (RemoveEarlierResult).
    TMainWindow(MainThread& main, MainWindowView& view, const std::vector<std::string>& arguments);
    ~TMainWindow() override;
    TMainWindow(const TMainWindow&) = delete;
    TMainWindow& operator=(const TMainWindow&) = delete;

    // The exit status the program ends with: 0, or kEarlierResultStands when an
    // earlier run's "status.dat" can be neither removed nor emptied. The caller would
    // read that text as this run's, so the run then ends before anything is opened.
    static constexpr int kEarlierResultStands = 2;
    int exitStatus() const { return ExitStatus; }

    // The create event: wires the connection and opens the port. Runs after the
    // constructor; does nothing when construction already ended the program.
    void FormCreate();

    // MainWindowSurface.
    void ReportResult(const std::string& text) override;
    void setProgressText(const std::string& text) override;
    void setGaugeMax(std::int32_t maxValue) override;
    void setGaugeProgress(std::int32_t progress) override;
    std::int32_t gaugeProgress() const override;
    // On a terminal, the phase's share in its line on standard error.
    void showPhaseShare(const std::string& phase, std::int64_t done, std::int64_t total) override;
    // Passed on to the view; what the view throws is said, and the run goes on.
    void breakHeld() override;

    // The idle handler: starts the update run at the first idle moment, once.
    void ApplicationIdle();
    // The update run; also the click handler of the hidden "Update" button.
    void UpdateButtonClick();

    void ClearFlashImage();
    bool ParseHexLines(const std::vector<std::string>& lines, FlashImageBytes& image);

    // The gauge's state, for a front end that repaints it on its own.
    const TCGauge& gauge() const { return ProgressGauge; }
    const CommStat& portStat() const { return PortStat; }

private:
    // Gives the tests of the run what they need beyond the program's interface
    // (another image, the parser's list, the connection); defined by the tests only.
    friend struct TMainWindowTestAccess;

    // The information list: the view's hidden list, with a copy of every line on
    // standard error so that a technician or a calling program can follow the run.
    class InfoLines final : public InfoList {
    public:
        explicit InfoLines(MainWindowView& view) : view_(view) {}
        void addLine(const std::string& line) override;

    private:
        MainWindowView& view_;
    };
    // The port-state panel, also on standard error: the window is invisible on a
    // machine without a display.
    class PortStatePanel final : public TextTarget {
    public:
        explicit PortStatePanel(MainWindowView& view) : view_(view) {}
        void setText(const std::string& text) override;

    private:
        MainWindowView& view_;
    };

    void setUpGauge();
    // Activation, erase and write with the faster line: "" when all of them
    // succeeded, else the result text of the first step that failed.
    std::string updateAtFastRate(bool resetFirst);
    // Reports the result of a step that failed and ends the run.
    void reportFailedStep(const std::string& text);
    void terminate() { Main.requestTermination(); }

    MainThread& Main;
    MainWindowView& View;
    InfoLines infoLines_{View};
    PortStatePanel portStatePanel_{View};
    TCGauge ProgressGauge;
    // The lines each run parses: the embedded update image.
    std::span<const std::string_view> updateImage_;
    // Sees the list each run hands to the parser; set by tests only.
    std::function<void(const std::vector<std::string>&)> parseObserver_;
    HexParser parser_;

    std::array<std::uint8_t, kSendBufferSize> SendBuffer{};
    std::array<std::uint8_t, kReceiveBufferSize> ReceiveBuffer{};
    std::unique_ptr<std::vector<std::string>> UpdateLines;
    FlashImageBytes FlashImage{};
    // Declared after everything it points at, so that it goes first: its port
    // component shuts the port down and ends the receive watcher.
    std::unique_ptr<ZbBootloader> Bootloader;
    CommStat PortStat;
    int ExitStatus = 0;
    bool UpdateStarted = false;
    bool ApplicationAnswered = false;
};

// Writes an exception that no handler caught to standard error: every front end's
// last resort, so that the caller still gets its exit status.
void ReportEscapedException(std::exception_ptr error);

// What every front end's entry does with its main thread and window: the window's
// logic around `view` with the command line's `arguments`, `wire` (a front end's
// own wiring, may be empty), the create event, then, unless that ended the program,
// `show` and the event loop. Returns the exit status.
int RunMainWindow(MainThread& main, MainWindowView& view, const std::vector<std::string>& arguments,
                  const std::function<void(TMainWindow&)>& wire, const std::function<void()>& show);

// The one main window, from the start of its construction to its destruction.
extern TMainWindow* MainWindow;

}  // namespace zb
