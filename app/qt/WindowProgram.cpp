// zbupdater-window: draws the Linux program's window from the frames its updater
// sends on standard input (WindowFeed.h), and does nothing else. It ends at the end
// of its input, and with the updater.
//
// Whatever goes wrong here (no display, a display that has gone or never answers, a
// Qt option or platform that cannot be had) costs the window and nothing more: the
// updater runs in a process of its own and never waits for this one.
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QString>

#include "QtMainWindow.h"
#include "WindowFeed.h"

namespace zb {
namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The window must come up wherever the updater runs, also where no display can be
// reached: without a display on the offscreen platform, and with one on the
// display's platform first, falling back to offscreen when that cannot be opened
// (a stale forwarded session, a server that has gone). A platform chosen by the
// user (QT_QPA_PLATFORM) is tried first, with offscreen after it.
void chooseQtPlatform() {
    // Qt takes an empty value as none, and tries a list separated by ';' in order.
    std::string platforms;
    if (isSet("QT_QPA_PLATFORM")) {
        platforms = std::getenv("QT_QPA_PLATFORM");
        if ((";" + platforms + ";").find(";offscreen;") != std::string::npos) return;
        platforms += ";";
    } else {
        if (isSet("WAYLAND_DISPLAY")) platforms += "wayland;";
        if (isSet("DISPLAY")) platforms += "xcb;";
    }
    platforms += "offscreen";
    ::setenv("QT_QPA_PLATFORM", platforms.c_str(), 1);
}

// Started by an updater, which it must not outlive: the kernel ends this process
// when the updater's thread that started it dies. An updater that died before the
// request was made is no longer the parent.
bool boundToTheUpdater() {
    const char* parent = std::getenv("ZBUPDATER_WINDOW_PARENT");
    if (parent == nullptr || ::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return false;
    return std::to_string(::getppid()) == parent;
}

class WindowFromFeed {
public:
    WindowFromFeed() : input_(STDIN_FILENO, QSocketNotifier::Read) {
        SetUpRunGauge(gauge_, window_.buttonFaceColor());
        window_.setUpdateButtonVisible(false);
        window_.placeGaugeAboveStatusBar();
        window_.redrawGauge(gauge_);
        QObject::connect(&input_, &QSocketNotifier::activated, [this] { readInput(); });
    }

private:
    void readInput() {
        char bytes[4096];
        const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (n < 0 && errno == EINTR) return;
        // The updater has ended (or closed its end): so does the window, at once.
        if (n <= 0) std::_Exit(0);
        std::vector<WindowFrame> frames;
        if (!reader_.feed(bytes, static_cast<std::size_t>(n), frames)) std::_Exit(1);
        for (const WindowFrame& frame : frames) apply(frame);
    }

    void apply(const WindowFrame& frame) {
        switch (frame.kind) {
        case WindowFrameKind::Caption:
            window_.setWindowTitle(QString::fromStdString(frame.payload));
            break;
        case WindowFrameKind::Gauge: {
            std::int32_t maxValue = 0;
            std::int32_t progress = 0;
            if (!ReadGaugeFrame(frame.payload, maxValue, progress)) return;
            gauge_.SetMaxValue(maxValue);
            gauge_.SetProgress(progress);
            window_.redrawGauge(gauge_);
            break;
        }
        case WindowFrameKind::StatusPanel: {
            int panel = 0;
            std::string text;
            if (ReadStatusPanelFrame(frame.payload, panel, text)) window_.setStatusPanel(panel, text);
            break;
        }
        case WindowFrameKind::Show:
            window_.show();
            break;
        case WindowFrameKind::Message: {
            std::string text;
            std::string caption;
            if (!ReadMessageFrame(frame.payload, text, caption)) return;
            // Nobody waits for the box: it is not modal, and closing it ends nothing.
            auto* box = new QMessageBox(QMessageBox::NoIcon, QString::fromStdString(caption),
                                        QString::fromStdString(text), QMessageBox::Ok, &window_);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setModal(false);
            box->show();
            break;
        }
        }
    }

    QtMainWindow window_;
    TCGauge gauge_;
    WindowFrameReader reader_;
    QSocketNotifier input_;
};

}  // namespace
}  // namespace zb

int main(int argc, char** argv) {
    if (!zb::boundToTheUpdater()) return 0;
    zb::chooseQtPlatform();
    QApplication application(argc, argv);
    zb::WindowFromFeed window;
    return QApplication::exec();
}
