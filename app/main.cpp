// zbupdater PORT
//
// Updates the device on serial port PORT (COM1, COM2, ...) with the firmware the
// program carries and writes the outcome as one line of text into "status.dat" in
// the working directory. The exit status is 0 whatever the outcome: callers read the
// result from the file.

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>

#include "MainWindowCode.h"
#include "QtMainThread.h"

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The program must run unattended on a machine without a display, where Qt would
// otherwise refuse to start. A platform chosen by the user is left alone.
void useOffscreenWithoutDisplay() {
    if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY") && std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

}  // namespace

int main(int argc, char** argv) {
    useOffscreenWithoutDisplay();
    try {
        QApplication application(argc, argv);
        zb::QtMainThread mainThread;
        // QApplication has taken out its own options (-platform and the like); what
        // is left after the program name is ours.
        const std::vector<std::string> arguments(argv + 1, argv + argc);
        const auto window = std::make_unique<zb::TMainWindow>(mainThread, arguments);
        mainThread.runHandler([&window] { window->FormCreate(); });
        if (!mainThread.terminationRequested()) {
            window->show();
            mainThread.runEventLoop();
        }
    } catch (...) {
        // Whatever went wrong, the caller gets its exit status 0 and finds the outcome
        // (or no new one) in "status.dat".
        zb::ReportEscapedException(std::current_exception());
    }
    return 0;
}
