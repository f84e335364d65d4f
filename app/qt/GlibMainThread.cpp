// GlibMainThread: the main thread on GLib's default main context.
#include "GlibMainThread.h"

#include <glib.h>

#include <stdexcept>
#include <utility>

#include "MainWindowCode.h"
#include "StandardErrorLines.h"

namespace zb {

// The source of the posted calls: ready while calls are queued.
struct GlibMainThread::PostedSource {
    GSource base;
    GlibMainThread* owner;

    static gboolean ready(GSource* source) {
        GlibMainThread& owner = *reinterpret_cast<PostedSource*>(source)->owner;
        const std::lock_guard lock(owner.mutex_);
        return owner.queue_.empty() ? FALSE : TRUE;
    }
    static gboolean prepare(GSource* source, gint* timeout) {
        *timeout = -1;
        return ready(source);
    }
    static gboolean dispatch(GSource* source, GSourceFunc, gpointer) {
        reinterpret_cast<PostedSource*>(source)->owner->runPosted();
        return G_SOURCE_CONTINUE;
    }
    static GSourceFuncs funcs;
};

GSourceFuncs GlibMainThread::PostedSource::funcs = {prepare, ready, dispatch, nullptr, nullptr, nullptr};

// What a timer source calls: its owner and its id, which the source's destruction
// frees.
struct GlibMainThread::TimerCall {
    GlibMainThread* owner;
    TimerId id;

    static gboolean fire(gpointer data) {
        const auto* call = static_cast<TimerCall*>(data);
        call->owner->timerFired(call->id);
        return G_SOURCE_REMOVE;
    }
    static void destroy(gpointer data) { delete static_cast<TimerCall*>(data); }
};

GlibMainThread::GlibMainThread() {
    posted_ = g_source_new(&PostedSource::funcs, sizeof(PostedSource));
    reinterpret_cast<PostedSource*>(posted_)->owner = this;
    // Handlers wait for replies inside processEvents(): the sources they wait for
    // must be handled there, within their own dispatch.
    g_source_set_can_recurse(posted_, TRUE);
    g_source_attach(posted_, nullptr);
}

GlibMainThread::~GlibMainThread() {
    for (const auto& [id, timer] : timers_) g_source_destroy(timer.source);
    g_source_destroy(posted_);
    g_source_unref(posted_);
}

void GlibMainThread::post(std::function<void()> fn) {
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(fn));
    }
    g_main_context_wakeup(nullptr);
}

void GlibMainThread::runPosted() {
    std::size_t count;
    {
        const std::lock_guard lock(mutex_);
        count = queue_.size();
    }
    for (; count > 0; --count) {
        std::function<void()> fn;
        {
            const std::lock_guard lock(mutex_);
            // A wait inside an earlier call may have run the rest already.
            if (queue_.empty()) return;
            fn = std::move(queue_.front());
            queue_.pop_front();
        }
        runHandler(fn);
    }
}

void GlibMainThread::processEvents() {
    ++nesting_;
    // Blocks until a source is ready when nothing is, so a wait that loops on this
    // uses no processor time; then handles what is ready and returns.
    g_main_context_iteration(nullptr, TRUE);
    --nesting_;
    if (pending_) std::rethrow_exception(std::exchange(pending_, nullptr));
}

TimerId GlibMainThread::startTimer(std::chrono::milliseconds period, std::function<void()> fn) {
    // GLib's millisecond timeouts are due at the start plus the full period on the
    // monotonic clock, never before: the 1000 ms break is never shortened.
    GSource* source = g_timeout_source_new(static_cast<guint>(period.count() < 0 ? 0 : period.count()));
    const TimerId id = nextTimer_++;
    g_source_set_callback(source, &TimerCall::fire, new TimerCall{this, id}, &TimerCall::destroy);
    g_source_set_can_recurse(source, TRUE);
    g_source_attach(source, nullptr);
    // The context holds the source until it fires or is destroyed.
    g_source_unref(source);
    timers_.emplace(id, Timer{source, std::move(fn)});
    return id;
}

void GlibMainThread::stopTimer(TimerId id) {
    const auto found = timers_.find(id);
    if (found == timers_.end()) return;
    g_source_destroy(found->second.source);
    timers_.erase(found);
}

void GlibMainThread::timerFired(TimerId id) {
    const auto found = timers_.find(id);
    if (found == timers_.end()) return;
    std::function<void()> fn = std::move(found->second.fn);
    // The source ends when this returns; it must not be destroyed twice.
    timers_.erase(found);
    runHandler(fn);
}

void GlibMainThread::showMessage(const std::string& text, const std::string& caption) {
    if (messageBox_ && messageBox_(text, caption)) return;
    StandardError().line(caption + ": " + text);
}

void GlibMainThread::runEventLoop() {
    if (terminated_) return;
    if (idle_) {
        // An idle source runs once everything of higher priority has been handled:
        // the loop's first idle moment.
        idleSource_ = g_idle_source_new();
        g_source_set_callback(
            idleSource_,
            [](gpointer data) -> gboolean {
                auto& self = *static_cast<GlibMainThread*>(data);
                self.idleSource_ = nullptr;
                if (!self.terminated_) self.runHandler(self.idle_);
                return G_SOURCE_REMOVE;
            },
            this, nullptr);
        g_source_attach(idleSource_, nullptr);
        g_source_unref(idleSource_);
    }
    while (!terminated_) g_main_context_iteration(nullptr, TRUE);
    // Ended before the loop was ever idle: the source must not outlive this object.
    if (idleSource_ != nullptr) g_source_destroy(std::exchange(idleSource_, nullptr));
}

void GlibMainThread::runHandler(const std::function<void()>& fn) {
    try {
        fn();
    } catch (...) {
        handlerFailed(std::current_exception());
    }
}

void GlibMainThread::handlerFailed(std::exception_ptr error) {
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
