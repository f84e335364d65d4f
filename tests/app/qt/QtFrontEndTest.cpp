// The window's module joins the program's main loop: Qt's own timers and the events
// posted to Qt from other threads are handled in the program's waits, also when
// QT_NO_GLIB would give Qt a dispatcher of its own that the program never runs.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include "GlibMainThread.h"
#include "QtFrontEnd.h"

namespace zb {
namespace {

using namespace std::chrono_literals;

bool waitFor(GlibMainThread& main, const bool& done) {
    bool expired = false;
    const TimerId guard = main.startTimer(20s, [&expired] { expired = true; });
    while (!done && !expired) main.processEvents();
    main.stopTimer(guard);
    return done;
}

TEST(QtFrontEnd, QtEventsAreHandledInTheProgramsWaits) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("QT_NO_GLIB", "1", 1);
    GlibMainThread main;
    static int argc = 1;
    static char name[] = "zbupdater";
    static char* argv[] = {name, nullptr};
    const std::unique_ptr<QtFrontEnd> qt(zbCreateQtFrontEnd(&argc, argv, [](const std::string&) {}));

    bool timerFired = false;
    QTimer::singleShot(10ms, [&timerFired] { timerFired = true; });
    EXPECT_TRUE(waitFor(main, timerFired)) << "Qt's timer never fired in the program's wait";

    bool queuedRan = false;
    std::thread other([&] {
        std::this_thread::sleep_for(50ms);
        QMetaObject::invokeMethod(QCoreApplication::instance(), [&queuedRan] { queuedRan = true; },
                                  Qt::QueuedConnection);
    });
    EXPECT_TRUE(waitFor(main, queuedRan)) << "a call posted to Qt never ran in the program's wait";
    other.join();
}

TEST(QtFrontEnd, TheProgramTakesTheArgumentsThatQtLeaves) {
    // Qt's application object, made when the window is loaded, takes its options out
    // of the command line; the program has read it long before and must see the same.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::vector<std::string> given = {
        "-platform", "offscreen", "--reverse", "-style", "fusion", "-stylesheet=none.qss",
        "-qwindowtitle", "T", "-platformpluginpath", "/nowhere", "-platformtheme", "none",
        "-plugin", "none", "-qwindowgeometry", "10x10", "-qwindowicon", "none.png", "-session",
        "none", "-testability", "-qmljsdebugger=port:1", "COM3", "-widgetcount", "second",
        "-platform"};
    std::vector<std::string> texts = {"zbupdater"};
    texts.insert(texts.end(), given.begin(), given.end());
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(argv.size()) - 1;
    const std::unique_ptr<QtFrontEnd> qt(zbCreateQtFrontEnd(&argc, argv.data(), [](const std::string&) {}));

    std::vector<std::string> leftByQt;
    for (const QString& argument : QCoreApplication::arguments().mid(1)) leftByQt.push_back(argument.toStdString());
    EXPECT_EQ(WithoutQtOptions(given), leftByQt);
    EXPECT_EQ(WithoutQtOptions(given).front(), "COM3");
}

}  // namespace
}  // namespace zb
