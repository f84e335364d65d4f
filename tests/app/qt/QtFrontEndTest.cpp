// The window's module joins the program's main loop: Qt's own timers and the events
// posted to Qt from other threads are handled in the program's waits, also when
// QT_NO_GLIB would give Qt a dispatcher of its own that the program never runs.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

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

}  // namespace
}  // namespace zb
