// zbupdater PORT (or --version, --help, --ports): the program entry on Linux.
//
// Updates the device on serial port PORT (COM1, COM2, ...) with the firmware the
// program carries and writes the outcome as one line of text into "status.dat" in
// the working directory. The exit status is 0 whatever the outcome: callers read the
// result from the file. Only when an earlier run's "status.dat" can be neither
// removed nor emptied does it end at once, with status 2, before opening anything.
//
// The run has a main loop of its own and links no toolkit; its window is drawn by
// the window program, fed through a pipe (WindowProcess.h). The session that started
// the program may close during the run: SIGHUP is ignored, and the update finishes
// and writes its result.

#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "HostPlatform.h"
#include "MainWindowCode.h"
#include "ProgramInformation.h"
#include "QtOptions.h"
#include "StandardErrorLines.h"
#include "StdMainThread.h"
#include "WindowProcess.h"

int main(int argc, char** argv) {
    zb::GuardStandardStreams();
    // --version, --help and --ports alone: printed before anything else exists, so
    // they need no display and open nothing.
    if (const auto text = zb::InformationalText(std::vector<std::string>(argv + 1, argv + argc))) {
        std::fputs(text->c_str(), stdout);
        return 0;
    }
    ::signal(SIGHUP, SIG_IGN);
    int status = 0;
    try {
        // Qt's own options (-platform and the like) are the window program's; what is
        // left after the program name is ours.
        const zb::SplitArguments arguments = zb::SplitQtOptions(std::vector<std::string>(argv + 1, argv + argc));
        // Before the port's receive watcher exists, so that no thread and no port
        // descriptor is around when the window program is started.
        zb::WindowProcess view(arguments.qtOptions);
        zb::StdMainThread mainThread;
        mainThread.setExceptionReporter(zb::ReportEscapedException);
        mainThread.setMessageSink([&view](const std::string& text, const std::string& caption) {
            zb::StandardError().line(caption + ": " + text);
            view.showMessage(text, caption);
        });
        status = zb::RunMainWindow(mainThread, view, arguments.program, {}, [&view] { view.show(); });
    } catch (...) {
        // Whatever went wrong, the caller gets its exit status and finds the outcome
        // (or no new one) in "status.dat".
        zb::ReportEscapedException(std::current_exception());
    }
    return status;
}
