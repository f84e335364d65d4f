#include "TRead.h"

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
};

TRead::TRead(bool createSuspended, OsSerialPort* port, TZbComm* owner, MainThread& main)
    : owner_(owner), main_(main), port_(port), pauseRequested_(createSuspended) {
    // The watcher would run at the highest normal priority; raising a thread above
    // normal needs privileges on POSIX systems, and reads block in the driver anyway,
    // so it runs at the default priority.
    thread_ = std::thread([this] { Execute(); });
}

TRead::~TRead() {
    Terminate();
    if (thread_.joinable()) thread_.join();
}

void TRead::arm(std::uint8_t* destination, std::int32_t count) {
    disarm();
    count_.store(count, std::memory_order_relaxed);
    destination_.store(destination, std::memory_order_relaxed);
    position_.store(0, std::memory_order_relaxed);
    armed_.store(true, std::memory_order_release);
}

void TRead::disarm() {
    armed_.store(false, std::memory_order_seq_cst);
    while (storing_.load(std::memory_order_seq_cst)) std::this_thread::yield();
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
}

void TRead::Suspend() {
    std::unique_lock lock(control_);
    pauseRequested_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return parked_ || waitingMain_ || ended_; });
}

void TRead::Terminate() {
    std::shared_ptr<MainCall> call;
    {
        std::lock_guard lock(control_);
        terminated_.store(true);
        call = pendingCall_;
    }
    changed_.notify_all();
    if (call) {
        // Wake a watcher that waits for the main thread. The flag is set under the
        // call's mutex so that the wake cannot slip in before the watcher waits.
        { std::lock_guard lock(call->mutex); }
        call->done.notify_all();
    }
}

bool TRead::WaitForEnd(std::chrono::milliseconds limit) {
    std::unique_lock lock(control_);
    return changed_.wait_for(lock, limit, [this] { return ended_; });
}

bool TRead::parkIfPaused() {
    std::unique_lock lock(control_);
    if (pauseRequested_ && !terminated_) {
        parked_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !pauseRequested_ || terminated_.load(); });
        parked_ = false;
    }
    return !terminated_;
}

void TRead::idleSleep(std::chrono::milliseconds period) {
    std::unique_lock lock(control_);
    changed_.wait_for(lock, period, [this] { return pauseRequested_ || terminated_.load(); });
}

void TRead::Synchronize() {
    auto call = std::make_shared<MainCall>();
    {
        std::lock_guard lock(control_);
        pendingCall_ = call;
        waitingMain_ = true;
    }
    changed_.notify_all();
    TZbComm* owner = owner_;
    main_.post([call, owner] {
        {
            std::lock_guard lock(call->mutex);
            if (call->state == MainCall::State::Cancelled) return;
            call->state = MainCall::State::Running;
        }
        owner->DataReady();
        {
            std::lock_guard lock(call->mutex);
            call->state = MainCall::State::Done;
        }
        call->done.notify_all();
    });
    {
        std::unique_lock lock(call->mutex);
        call->done.wait(lock, [&] {
            return call->state == MainCall::State::Done || terminated_.load();
        });
        if (call->state == MainCall::State::Pending) call->state = MainCall::State::Cancelled;
    }
    {
        std::lock_guard lock(control_);
        pendingCall_.reset();
        waitingMain_ = false;
    }
}

void TRead::Execute() {
    while (parkIfPaused()) {
        // 1. Nothing armed: idle.
        if (!armed_.load(std::memory_order_acquire)) {
            idleSleep(kIdleSleep);
            continue;
        }
        // 2./3. One byte, or nothing within the read time-out; a read error (a closed
        // or unplugged port) counts as nothing.
        if (!carried_) {
            OsSerialPort* port;
            {
                std::lock_guard lock(control_);
                port = port_;
            }
            if (port == nullptr || port->readByte(scratch_[0]) != 1) {
                idleSleep(kIdleSleep);
                continue;
            }
        }
        // 4. Store the byte. When the reception was given up while the read was under
        // way, the byte is kept for the next reception, as if it had stayed in the
        // driver's queue: a reply that arrives just after a time-out is not lost.
        storing_.store(true, std::memory_order_seq_cst);
        carried_ = !armed_.load(std::memory_order_seq_cst);
        if (carried_) {
            storing_.store(false, std::memory_order_seq_cst);
            continue;
        }
        std::uint8_t* destination = destination_.load(std::memory_order_relaxed);
        std::int32_t position = position_.load(std::memory_order_relaxed);
        destination[position] = scratch_[0];
        ++position;
        destination[position] = 0;
        const bool complete = position >= count_.load(std::memory_order_relaxed);
        position_.store(complete ? 0 : position, std::memory_order_relaxed);
        // 5. The last byte: disarm before the main thread hears of it.
        if (complete) armed_.store(false, std::memory_order_seq_cst);
        storing_.store(false, std::memory_order_seq_cst);
        if (complete) Synchronize();
        // 6. Next byte at once.
    }
    {
        std::lock_guard lock(control_);
        ended_ = true;
    }
    changed_.notify_all();
}

}  // namespace zb
