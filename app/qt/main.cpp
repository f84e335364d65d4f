// zbupdater PORT (or --version, --help, --ports): the program entry of the Qt front end.
//
// Updates the device on serial port PORT (COM1, COM2, ...) with the firmware the
// program carries and writes the outcome as one line of text into "status.dat" in
// the working directory. The exit status is 0 whatever the outcome: callers read the
// result from the file.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include <QApplication>
#include <QString>

#include "HostPlatform.h"
#include "MainWindowCode.h"
#include "ProgramInformation.h"
#include "QtDeferredView.h"
#include "QtMainThread.h"
#include "StandardErrorLines.h"

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The program must run unattended where no display can be reached, where Qt would
// otherwise refuse to start: without a display it runs on the offscreen platform,
// and with one it tries the display's platform first and falls back to offscreen
// when that cannot be opened (a stale forwarded session, a server that has gone).
// A platform chosen by the user (QT_QPA_PLATFORM, -platform) is left alone.
void chooseQtPlatform() {
    // Qt takes an empty value as none.
    if (isSet("QT_QPA_PLATFORM")) return;
    std::string platforms;
    if (isSet("WAYLAND_DISPLAY")) platforms += "wayland;";
    if (isSet("DISPLAY")) platforms += "xcb;";
    platforms += "offscreen";
    setenv("QT_QPA_PLATFORM", platforms.c_str(), 1);
}

// Qt's own warnings go the way of the program's lines: best-effort, so that a caller
// who stopped reading standard error never holds the program up.
void writeQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    zb::StandardError().line(qFormatLogMessage(type, context, message).toLocal8Bit().toStdString());
    if (type == QtFatalMsg) std::abort();
}

}  // namespace

int main(int argc, char** argv) {
    zb::GuardStandardStreams();
    // --version, --help and --ports alone: printed before anything of Qt exists,
    // so they need no display and open nothing.
    if (const auto text = zb::InformationalText(std::vector<std::string>(argv + 1, argv + argc))) {
        std::fputs(text->c_str(), stdout);
        return 0;
    }
    chooseQtPlatform();
    qInstallMessageHandler(writeQtMessage);
    try {
        QApplication application(argc, argv);
        zb::QtMainThread mainThread;
        // QApplication has taken out its own options (-platform and the like); what
        // is left after the program name is ours.
        const std::vector<std::string> arguments(argv + 1, argv + argc);
        zb::TMainWindow* run = nullptr;
        // The window is built when the run holds the line in break, not before the
        // first byte: see QtDeferredView.
        zb::QtDeferredView view([&](zb::QtMainWindow& built) {
            QObject::connect(&built.UpdateButton, &QPushButton::clicked, &built,
                             [&] { mainThread.runHandler([&run] { run->UpdateButtonClick(); }); });
        });
        zb::TMainWindow window(mainThread, view, arguments);
        run = &window;
        try {
            window.FormCreate();
        } catch (...) {
            // As after any event handler: said, and the run still starts when idle.
            zb::ReportEscapedException(std::current_exception());
        }
        if (!mainThread.terminationRequested()) mainThread.runEventLoop();
    } catch (...) {
        // Whatever went wrong, the caller gets its exit status 0 and finds the outcome
        // (or no new one) in "status.dat".
        zb::ReportEscapedException(std::current_exception());
    }
    return 0;
}
