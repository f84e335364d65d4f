// zbupdater PORT (or --version, --help, --ports): the program entry of the Windows program.
//
// Updates the device on serial port PORT (COM1, COM2, ..., COM256) with the firmware
// the program carries and writes the outcome as one line of text into "status.dat"
// in the working directory. The exit status is 0 whatever the outcome: callers read
// the result from the file. Only when an earlier run's "status.dat" can be neither
// removed nor emptied does it end at once, with status 2, before opening anything.
// A GUI program: no console window appears; the progress lines go to standard error
// when the caller gave the process a standard error handle, and nowhere otherwise.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "HostPlatform.h"
#include "MainWindowCode.h"
#include "ProgramInformation.h"
#include "Win32MainThread.h"
#include "Win32MainWindow.h"

int main(int argc, char** argv) {
    zb::GuardStandardStreams();
    // --version, --help and --ports alone: printed before any window exists, on
    // standard output when the caller gave the process one (zbupdater.exe --version
    // > file).
    if (const auto text = zb::InformationalText(std::vector<std::string>(argv + 1, argv + argc))) {
        std::fputs(text->c_str(), stdout);
        std::fflush(stdout);
        return 0;
    }
    int status = 0;
    try {
        zb::Win32MainThread mainThread;
        zb::Win32MainWindow view;
        status = zb::RunMainWindow(
            mainThread, view, std::vector<std::string>(argv + 1, argv + argc),
            [&view](zb::TMainWindow& window) { view.onUpdateClick = [&window] { window.UpdateButtonClick(); }; },
            [&view] { view.show(); });
    } catch (...) {
        // Whatever went wrong, the caller gets its exit status and finds the outcome
        // (or no new one) in "status.dat".
        zb::ReportEscapedException(std::current_exception());
    }
    return status;
}
