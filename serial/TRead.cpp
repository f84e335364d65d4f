#include "TRead.h"

#include <algorithm>
#include <cstring>

#include "CallEnd.h"
#include "TZbComm.h"

namespace zb {

namespace {
constexpr std::chrono::milliseconds kIdleSleep{5};  // per cycle while idle or after an empty read
}

// The DataReady call handed to the main thread. The watcher waits for it to be run;
// when the watcher is terminated first, the call is cancelled and never runs, so a
// call still queued in the event loop cannot reach a component that is gone.
struct TRead::MainCall {
    enum class State { Pending, Running, Done, Cancelled };
    std::mutex mutex;
    std::condition_variable done;
    State state = State::Pending;
    std::uint64_t generation = 0;  // of the reception it completes
    std::chrono::steady_clock::time_point completedAt{};
    // Not a completion: the device has gone. It ends whatever wait is under way, so
    // no disarming withdraws it.
    bool deviceGone = false;
};

// The thread's last act. The thread holds its own share, so it never touches the
// TRead again once it has said that it left Execute.
struct TRead::Last {
    std::mutex mutex;
    std::condition_variable changed;
    bool left = false;   // Execute has returned
    bool given = false;  // `act` is set, or (left empty) the thread just ends
    std::function<bool()> act;
    CallEnd end;  // of the act
};

TRead::TRead(bool createSuspended, OsSerialPort* port, TZbComm* owner, MainThread& main)
    : owner_(owner), main_(main), port_(port), pauseRequested_(createSuspended) {
    // The watcher would run at the highest normal priority; raising a thread above
    // normal needs privileges on POSIX systems, and reads wait in the driver anyway,
    // so it runs at the default priority.
    last_ = std::make_shared<Last>();
    thread_ = std::thread([this, last = last_] {
        Execute();
        std::function<bool()> act;
        {
            std::unique_lock lock(last->mutex);
            last->left = true;
            last->changed.notify_all();
            last->changed.wait(lock, [&] { return last->given; });
            act = std::move(last->act);
        }
        // The TRead may be gone from here on.
        last->end.report(act ? act() : true);
    });
}

TRead::~TRead() {
    Terminate();
    {
        std::lock_guard lock(last_->mutex);
        last_->given = true;
    }
    last_->changed.notify_all();
    if (thread_.joinable()) thread_.join();
}

void TRead::Stop() {
    Terminate();
    std::unique_lock lock(last_->mutex);
    last_->changed.wait(lock, [this] { return last_->left; });
}

std::optional<bool> TRead::RunLast(std::function<bool()> act, std::chrono::milliseconds bound) {
    {
        std::lock_guard lock(last_->mutex);
        last_->act = std::move(act);
        last_->given = true;
    }
    last_->changed.notify_all();
    const std::optional<bool> result = last_->end.waitFor(bound);
    if (result) {
        thread_.join();
    } else {
        thread_.detach();  // held past the bound (a driver's close): the act goes on alone
    }
    return result;
}

void TRead::arm(std::uint8_t* destination, std::int32_t count) {
    disarm();
    count_.store(count, std::memory_order_relaxed);
    destination_.store(destination, std::memory_order_relaxed);
    position_.store(0, std::memory_order_relaxed);
    stored_.store(0, std::memory_order_relaxed);
    armed_.store(true, std::memory_order_seq_cst);
    // An idle watcher starts reading at once rather than at the end of its nap. It
    // tests `armed` under control_ before it sleeps: taking the lock here means it
    // either saw the reception armed or is asleep, and hears the notification.
    { std::lock_guard lock(control_); }
    changed_.notify_all();
}

void TRead::disarm() {
    armed_.store(false, std::memory_order_seq_cst);
    while (storing_.load(std::memory_order_seq_cst)) std::this_thread::yield();
    generation_.fetch_add(1, std::memory_order_seq_cst);
    withdrawPendingCall();
}

void TRead::withdrawPendingCall() {
    std::shared_ptr<MainCall> call;
    {
        std::lock_guard lock(control_);
        call = pendingCall_;
    }
    if (!call) return;
    {
        std::lock_guard lock(call->mutex);
        // A DataReady that is running (the handler re-arms from inside it) goes on.
        if (call->state != MainCall::State::Pending || call->deviceGone) return;
        call->state = MainCall::State::Cancelled;
    }
    call->done.notify_all();
}

bool TRead::handOverCompletedBy(std::chrono::steady_clock::time_point deadline) {
    std::shared_ptr<MainCall> call;
    {
        std::lock_guard lock(control_);
        call = pendingCall_;
    }
    if (!call) return false;
    {
        std::lock_guard lock(call->mutex);
        if (call->state != MainCall::State::Pending || call->deviceGone) return false;
        if (call->generation != generation_.load(std::memory_order_seq_cst)) return false;
        if (call->completedAt > deadline) return false;
        call->state = MainCall::State::Running;
    }
    runDataReady(call);
    return true;
}

void TRead::runDataReady(const std::shared_ptr<MainCall>& call) {
    if (call->deviceGone) {
        owner_->ReportDeviceGone();
    } else {
        handingOver_ = call->completedAt;
        owner_->DataReady();
    }
    {
        std::lock_guard lock(call->mutex);
        call->state = MainCall::State::Done;
    }
    call->done.notify_all();
}

void TRead::catchUp(TimePoint deadline) {
    std::unique_lock lock(control_);
    if (!armed_.load(std::memory_order_acquire) || port_ == nullptr || goneReported_ || terminated_) return;
    catchUpDeadline_ = deadline;
    const std::uint64_t request = ++catchUpRequest_;
    // A read under way waits for bytes that may never come; the catch-up reads
    // only what is there.
    if (reading_) port_->interruptRead();
    changed_.notify_all();
    changed_.wait_for(lock, kCatchUpBound, [this, request] {
        return catchUpServed_ == request || pendingCall_ != nullptr || waitingMain_ || pauseRequested_ ||
               goneReported_ || terminated_.load() || !armed_.load(std::memory_order_acquire);
    });
    // Served or not, the request ends here: a late watcher reads as usual again.
    catchUpServed_ = catchUpRequest_;
}

void TRead::discardReceived() {
    std::unique_lock lock(control_);
    discards_.fetch_add(1, std::memory_order_seq_cst);
    carryBegin_ = carryEnd_ = 0;
    if (reading_ && port_ != nullptr) port_->interruptRead();
    changed_.wait(lock, [this] { return !reading_; });
}

void TRead::Resume() {
    {
        std::lock_guard lock(control_);
        pauseRequested_ = false;
    }
    changed_.notify_all();
}

void TRead::setPort(OsSerialPort* port) {
    std::lock_guard lock(control_);
    port_ = port;
    goneReported_ = false;
}

void TRead::Suspend() {
    std::unique_lock lock(control_);
    pauseRequested_ = true;
    // A read under way would hold the pause up for its whole time-out.
    if (reading_ && port_ != nullptr) port_->interruptRead();
    changed_.notify_all();
    changed_.wait(lock, [this] { return parked_ || waitingMain_ || ended_; });
}

void TRead::Terminate() {
    std::shared_ptr<MainCall> call;
    {
        std::lock_guard lock(control_);
        terminated_.store(true);
        call = pendingCall_;
        if (reading_ && port_ != nullptr) port_->interruptRead();
    }
    changed_.notify_all();
    if (call) {
        // Wake a watcher that waits for the main thread. The flag is set under the
        // call's mutex so that the wake cannot slip in before the watcher waits.
        { std::lock_guard lock(call->mutex); }
        call->done.notify_all();
    }
}

bool TRead::parkIfPaused() {
    std::unique_lock lock(control_);
    if (pauseRequested_ && !terminated_) {
        parked_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !pauseRequested_ || terminated_.load(); });
        parked_ = false;
        lookedAt_ = std::chrono::steady_clock::now();
    }
    return !terminated_;
}

void TRead::idleSleep(std::chrono::milliseconds period) {
    std::unique_lock lock(control_);
    changed_.wait_for(lock, period, [this] {
        return pauseRequested_ || terminated_.load() || armed_.load(std::memory_order_acquire);
    });
}

void TRead::napUnlessRearmed(std::uint64_t generation) {
    std::unique_lock lock(control_);
    changed_.wait_for(lock, kIdleSleep, [this, generation] {
        return pauseRequested_ || terminated_.load() || catchUpWanted() ||
               generation_.load(std::memory_order_seq_cst) != generation;
    });
}

bool TRead::waitIfGone() {
    std::unique_lock lock(control_);
    if (!goneReported_) return false;
    changed_.wait(lock, [this] { return pauseRequested_ || terminated_.load(); });
    return true;
}

std::shared_ptr<TRead::MainCall> TRead::publishCompletion(std::uint64_t generation, bool deviceGone,
                                                          std::optional<TimePoint> arrivedBy) {
    auto call = std::make_shared<MainCall>();
    call->generation = generation;
    call->deviceGone = deviceGone;
    {
        std::lock_guard lock(control_);
        const TimePoint now = std::chrono::steady_clock::now();
        call->completedAt = arrivedBy ? std::min(*arrivedBy, now) : now;
        pendingCall_ = call;
        waitingMain_ = true;
    }
    changed_.notify_all();
    return call;
}

void TRead::Synchronize(const std::shared_ptr<MainCall>& call) {
    main_.post([this, call] {
        {
            std::lock_guard lock(call->mutex);
            // Cancelled: withdrawn, or the watcher is gone; Running or Done: the main
            // thread took it already. While the call is still pending under this lock
            // the watcher waits for it, so `this` is alive.
            if (call->state != MainCall::State::Pending) return;
            if (!call->deviceGone && call->generation != generation_.load(std::memory_order_seq_cst)) {
                // The reception was given up or replaced after it completed: its
                // hand-over must not end the wait that came after it.
                call->state = MainCall::State::Cancelled;
                call->done.notify_all();
                return;
            }
            call->state = MainCall::State::Running;
        }
        runDataReady(call);
    });
    {
        std::unique_lock lock(call->mutex);
        call->done.wait(lock, [&] {
            return call->state == MainCall::State::Done || call->state == MainCall::State::Cancelled ||
                   terminated_.load();
        });
        if (call->state == MainCall::State::Pending) call->state = MainCall::State::Cancelled;
    }
    {
        std::lock_guard lock(control_);
        pendingCall_.reset();
        waitingMain_ = false;
    }
    lookedAt_ = std::chrono::steady_clock::now();
}

int TRead::readSome(std::uint64_t& discards, std::optional<TimePoint>& arrivedBy) {
    OsSerialPort* port;
    std::size_t want = 1;
    {
        std::unique_lock lock(control_);
        const bool catching = catchUpWanted();
        if (catching) arrivedBy = catchUpDeadline_;
        if (carryBegin_ < carryEnd_) {
            const int count = carryEnd_ - carryBegin_;
            std::memmove(scratch_, scratch_ + carryBegin_, static_cast<std::size_t>(count));
            carryBegin_ = carryEnd_ = 0;
            discards = carriedDiscards_;
            return count;
        }
        port = port_;
        if (port == nullptr || terminated_ || pauseRequested_) return 0;
        discards = discards_.load(std::memory_order_seq_cst);
        // No more than the reception lacks: what follows it stays in the driver's
        // queue for the next one. Taken after `armed` (acquire), as the main thread
        // stored them before it armed; a re-arming meanwhile is caught at the store.
        if (armed_.load(std::memory_order_acquire)) {
            const std::int32_t lacking =
                count_.load(std::memory_order_relaxed) - position_.load(std::memory_order_relaxed);
            want = static_cast<std::size_t>(std::clamp<std::int32_t>(lacking, 1, sizeof scratch_));
        }
        if (catching) {
            // Only what is there: a read that waited could take bytes that came
            // after the catch-up was asked for.
            const std::size_t queued = port->queuedInput();
            if (queued == 0) {
                catchUpServed_ = catchUpRequest_;
                lock.unlock();
                changed_.notify_all();
                return 0;
            }
            want = std::min(want, queued);
        }
        reading_ = true;
    }
    const int result = port->read(scratch_, want);
    {
        std::lock_guard lock(control_);
        reading_ = false;
        // Ended by a catch-up, or under way when it was asked for: the bytes were
        // there when the main thread looked.
        if (result > 0 && catchUpWanted() && !arrivedBy) arrivedBy = catchUpDeadline_;
    }
    changed_.notify_all();
    return result;
}

void TRead::carryOver(int from, int count, std::uint64_t discards) {
    if (from >= count) return;
    std::lock_guard lock(control_);
    carryBegin_ = from;
    carryEnd_ = count;
    carriedDiscards_ = discards;
}

void TRead::storeReceived(int count, std::uint64_t discards, std::optional<TimePoint> arrivedBy) {
    for (int i = 0; i < count; ++i) {
        storing_.store(true, std::memory_order_seq_cst);
        // Given up while the read was under way: this byte and the rest wait for the
        // next reception, so a reply that arrives just after a time-out is not lost.
        if (!armed_.load(std::memory_order_seq_cst)) {
            carryOver(i, count, discards);
            storing_.store(false, std::memory_order_seq_cst);
            return;
        }
        // Bytes from before the latest discard are not part of this reception.
        if (discards != discards_.load(std::memory_order_seq_cst)) {
            storing_.store(false, std::memory_order_seq_cst);
            return;
        }
        const std::uint64_t generation = generation_.load(std::memory_order_seq_cst);
        std::uint8_t* destination = destination_.load(std::memory_order_relaxed);
        std::int32_t position = position_.load(std::memory_order_relaxed);
        destination[position] = scratch_[i];
        ++position;
        destination[position] = 0;
        stored_.store(position, std::memory_order_release);
        const bool complete = position >= count_.load(std::memory_order_relaxed);
        position_.store(complete ? 0 : position, std::memory_order_release);
        if (!complete) {
            storing_.store(false, std::memory_order_seq_cst);
            continue;
        }
        // The last byte: what follows it in this read is kept for the next
        // reception; the hand-over is published, then the reception disarmed,
        // before the main thread hears of it.
        carryOver(i + 1, count, discards);
        std::shared_ptr<MainCall> call = publishCompletion(generation, false, arrivedBy);
        armed_.store(false, std::memory_order_seq_cst);
        storing_.store(false, std::memory_order_seq_cst);
        Synchronize(call);
        return;
    }
}

void TRead::reportDeviceGone() {
    {
        std::lock_guard lock(control_);
        if (goneReported_) return;
        goneReported_ = true;
    }
    Synchronize(publishCompletion(generation_.load(std::memory_order_seq_cst), true));
}

bool TRead::portGone() {
    std::lock_guard lock(control_);
    return port_ != nullptr && port_->deviceGone();
}

void TRead::Execute() {
    lookedAt_ = std::chrono::steady_clock::now();
    while (parkIfPaused()) {
        // A hung-up line answers every read at once: nothing more is read from it.
        if (waitIfGone()) {
            lookedAt_ = std::chrono::steady_clock::now();
            continue;
        }
        // Nothing armed: idle.
        if (!armed_.load(std::memory_order_acquire)) {
            idleSleep(kIdleSleep);
            lookedAt_ = std::chrono::steady_clock::now();
            continue;
        }
        // What has arrived, or nothing within the read time-out.
        const std::uint64_t generation = generation_.load(std::memory_order_seq_cst);
        const auto began = std::chrono::steady_clock::now();
        std::uint64_t discards = 0;
        std::optional<TimePoint> arrivedBy;
        const int count = readSome(discards, arrivedBy);
        const auto returned = std::chrono::steady_clock::now();
        if (count > 0) {
            // Held up (stopped, starved) since it last looked: the bytes may have come
            // at any moment since then, and cannot be told from bytes that did.
            if (!arrivedBy && returned - lookedAt_ > kHeldUpGap) arrivedBy = lookedAt_;
            lookedAt_ = returned;
            storeReceived(count, discards, arrivedBy);
            continue;  // on to the next read at once
        }
        // An empty read that itself outlasted a stall found nothing only when the
        // driver ended it, which may have been during the stall (a Windows read's
        // time-out runs in the driver): what came meanwhile is still to be read, and
        // dates from the last look before it.
        if (returned - began <= kHeldUpGap) lookedAt_ = returned;
        if (portGone()) {
            reportDeviceGone();
            continue;
        }
        // A read that waited out its time-out is followed by the next at once: a nap
        // now would keep a reply that arrives meanwhile in the driver. One that came
        // back at once (interrupted, a read error) naps, or the watcher would spin;
        // a new reception ends the nap.
        if (std::chrono::steady_clock::now() - began < kIdleSleep) napUnlessRearmed(generation);
    }
    {
        std::lock_guard lock(control_);
        ended_ = true;
    }
    changed_.notify_all();
}

}  // namespace zb
