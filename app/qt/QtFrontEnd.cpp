// The Qt front end module: the application object, the window, message boxes.
#include "QtFrontEnd.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QString>

#include "QtMainWindow.h"

namespace zb {
namespace {

ErrorLineWriter errorLineWriter = nullptr;

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The program must run unattended where no display can be reached, where Qt would
// otherwise refuse to start, and the window is loaded in the middle of a run, which
// must never end there: without a display it runs on the offscreen platform, and
// with one it tries the display's platform first and falls back to offscreen when
// that cannot be opened (a stale forwarded session, a server that has gone). A
// platform chosen by the user (QT_QPA_PLATFORM) is tried first, with offscreen after
// it.
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
    setenv("QT_QPA_PLATFORM", platforms.c_str(), 1);
}

// Qt's own warnings go the way of the program's lines: best-effort, so that a caller
// who stopped reading standard error never holds the program up.
void writeQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (errorLineWriter != nullptr) errorLineWriter(qFormatLogMessage(type, context, message).toLocal8Bit().toStdString());
    if (type == QtFatalMsg) std::abort();
}

class QtFrontEndModule final : public QtFrontEnd {
public:
    QtFrontEndModule(int* argc, char** argv) : application_(*argc, argv) {}

    MainWindowView& buildWindow(std::function<void()> updateClicked) override {
        if (!window_) {
            window_ = std::make_unique<QtMainWindow>();
            QObject::connect(&window_->UpdateButton, &QPushButton::clicked, window_.get(),
                             [fn = std::move(updateClicked)] {
                                 if (fn) fn();
                             });
        }
        return *window_;
    }

    void showWindow() override {
        if (window_) window_->show();
    }

    bool showMessage(const std::string& text, const std::string& caption) override {
        const QString platform = QGuiApplication::platformName();
        if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) return false;
        QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text),
                        QMessageBox::Ok);
        box.exec();
        return true;
    }

private:
    QApplication application_;
    // Goes before the application object.
    std::unique_ptr<QtMainWindow> window_;
};

}  // namespace

extern "C" QtFrontEnd* zbCreateQtFrontEnd(int* argc, char** argv, ErrorLineWriter errorLine) {
    errorLineWriter = errorLine;
    chooseQtPlatform();
    // Qt's own event dispatcher would wait on its own, and the program's loop would
    // never see the window's events: Qt must wait on GLib's context, as it does by
    // default.
    unsetenv("QT_NO_GLIB");
    qInstallMessageHandler(writeQtMessage);
    return new QtFrontEndModule(argc, argv);
}

}  // namespace zb
