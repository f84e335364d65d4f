// zbupdater PORT (or --version, --help, --ports): the program entry on Linux.
//
// Updates the device on serial port PORT (COM1, COM2, ...) with the firmware the
// program carries and writes the outcome as one line of text into "status.dat" in
// the working directory. The exit status is 0 whatever the outcome: callers read the
// result from the file. Only when an earlier run's "status.dat" can be neither
// removed nor emptied does it end at once, with status 2, before opening anything.
//
// The run starts on GLib's main loop with no toolkit loaded; the Qt window comes
// from its module when the run holds the line in break (see QtFrontEnd.h).

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "DeferredView.h"
#include "GlibMainThread.h"
#include "HostPlatform.h"
#include "MainWindowCode.h"
#include "ProgramInformation.h"
#include "QtFrontEnd.h"

int main(int argc, char** argv) {
    zb::GuardStandardStreams();
    // --version, --help and --ports alone: printed before anything else exists, so
    // they need no display and open nothing.
    if (const auto text = zb::InformationalText(std::vector<std::string>(argv + 1, argv + argc))) {
        std::fputs(text->c_str(), stdout);
        return 0;
    }
    int status = 0;
    try {
        zb::GlibMainThread mainThread;
        // Qt's own options (-platform and the like) are Qt's when it is loaded; what
        // is left after the program name is ours.
        const std::vector<std::string> arguments =
            zb::WithoutQtOptions(std::vector<std::string>(argv + 1, argv + argc));
        // Loaded at the first need, once; null when it cannot be had.
        std::unique_ptr<zb::QtFrontEnd> frontEnd;
        bool frontEndTried = false;
        auto loadFrontEnd = [&]() -> zb::QtFrontEnd* {
            if (!frontEndTried) {
                frontEndTried = true;
                frontEnd = zb::LoadQtFrontEnd(&argc, argv);
            }
            return frontEnd.get();
        };
        mainThread.setMessageBox([&](const std::string& text, const std::string& caption) {
            zb::QtFrontEnd* qt = loadFrontEnd();
            return qt != nullptr && qt->showMessage(text, caption);
        });
        zb::TMainWindow* run = nullptr;
        zb::DeferredView view(
            [&]() -> zb::MainWindowView* {
                zb::QtFrontEnd* qt = loadFrontEnd();
                if (qt == nullptr) return nullptr;
                return &qt->buildWindow([&] { mainThread.runHandler([&run] { run->UpdateButtonClick(); }); });
            },
            [&] { frontEnd->showWindow(); });
        zb::TMainWindow window(mainThread, view, arguments);
        run = &window;
        status = window.exitStatus();
        try {
            window.FormCreate();
        } catch (...) {
            // As after any event handler: said, and the run still starts when idle.
            zb::ReportEscapedException(std::current_exception());
        }
        if (!mainThread.terminationRequested()) mainThread.runEventLoop();
    } catch (...) {
        // Whatever went wrong, the caller gets its exit status and finds the outcome
        // (or no new one) in "status.dat".
        zb::ReportEscapedException(std::current_exception());
    }
    return status;
}
