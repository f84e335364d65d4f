// QtMainThread: the main thread on Qt's event loop.
#include "QtMainThread.h"

#include "MainWindowCode.h"

#include <stdexcept>
#include <utility>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTimer>
#include <QTimerEvent>

#include "StandardErrorLines.h"

namespace zb {

// Receives the posted calls and the timer events on the main thread.
class QtMainThread::Context : public QObject {
public:
    explicit Context(QtMainThread& owner) : owner_(owner) {}

protected:
    void timerEvent(QTimerEvent* event) override { owner_.timerFired(event->timerId()); }

private:
    QtMainThread& owner_;
};

QtMainThread::QtMainThread() : context_(std::make_unique<Context>(*this)) {}

QtMainThread::~QtMainThread() = default;

void QtMainThread::post(std::function<void()> fn) {
    // Queued calls to one receiver are delivered in the order they were posted.
    QMetaObject::invokeMethod(
        context_.get(),
        [this, fn = std::move(fn)] {
            runHandler(fn);
            endWait();
        },
        Qt::QueuedConnection);
}

void QtMainThread::processEvents() {
    struct Nesting {
        int& depth;
        explicit Nesting(int& d) : depth(d) { ++depth; }
        ~Nesting() { --depth; }
    };
    {
        Nesting nesting(nesting_);
        // Blocks in the event dispatcher until something arrives (a posted call, a
        // timer, a window event) when nothing is pending, so a wait that loops on
        // this uses no processor time.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
}

TimerId QtMainThread::startTimer(std::chrono::milliseconds period, std::function<void()> fn) {
    // A precise timer: Qt's default coarse timers may fire up to 5 % early, which
    // would shorten the 1000 ms break.
    const int qtId = context_->startTimer(period, Qt::PreciseTimer);
    if (qtId == 0) throw std::runtime_error("no timer available");
    const TimerId id = nextTimer_++;
    timers_.emplace(qtId, Timer{id, std::move(fn)});
    qtIds_.emplace(id, qtId);
    return id;
}

void QtMainThread::stopTimer(TimerId id) {
    const auto found = qtIds_.find(id);
    if (found == qtIds_.end()) return;
    context_->killTimer(found->second);
    timers_.erase(found->second);
    qtIds_.erase(found);
}

void QtMainThread::timerFired(int qtId) {
    // Qt's timers repeat; ours fire once.
    context_->killTimer(qtId);
    const auto found = timers_.find(qtId);
    if (found == timers_.end()) return;
    std::function<void()> fn = std::move(found->second.fn);
    qtIds_.erase(found->second.id);
    timers_.erase(found);
    runHandler(fn);
    endWait();
}

void QtMainThread::endWait() {
    // A posted call or a timer ran inside processEvents(): that call returns now, so
    // that its caller sees what the handler changed. Qt's GLib dispatcher returns by
    // itself once it has dispatched something; Qt's own (Qt built without GLib, or
    // QT_NO_GLIB=1) would go on to block until the next event, which may never come
    // once the handler has stopped the wait's timer.
    if (nesting_ == 0) return;
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->interrupt();
}

void QtMainThread::requestTermination() {
    terminated_ = true;
    // Ends the loop of runEventLoop when control returns to it; before the loop runs
    // this does nothing, and runEventLoop does not enter it.
    QCoreApplication::exit(0);
}

void QtMainThread::showMessage(const std::string& text, const std::string& caption) {
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
        StandardError().line(caption + ": " + text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                    QString::fromStdString(text), QMessageBox::Ok);
    box.exec();
}

void QtMainThread::runEventLoop() {
    if (terminated_) return;
    if (idle_) {
        // A zero-time timer fires once the loop has handled everything that is
        // pending: Qt's way of saying "the first idle moment".
        QTimer::singleShot(0, context_.get(), [this] {
            if (!terminated_) runHandler(idle_);
        });
    }
    QCoreApplication::exec();
}

void QtMainThread::runHandler(const std::function<void()>& fn) {
    try {
        fn();
    } catch (...) {
        handlerFailed(std::current_exception());
    }
}

void QtMainThread::handlerFailed(std::exception_ptr error) {
    if (nesting_ > 0) {
        // Leave through the processEvents() call that ran the handler. Should a second
        // handler of the same call fail as well, the first exception is the one that
        // travels; the second is only written out.
        if (!pending_) {
            pending_ = std::move(error);
            return;
        }
        ReportEscapedException(error);
        return;
    }
    // Nobody waits on this level: say what happened and end the program rather than
    // go on in an unknown state. No result text is written for it.
    ReportEscapedException(error);
    requestTermination();
}

}  // namespace zb
