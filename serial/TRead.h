// TRead: the receive watcher of a TZbComm, a thread that reads the port while a
// reception is armed, never more than the reception still lacks, and hands
// completion to the main thread.
//
// Shared with the main thread without a lock: the armed flag, count, position and
// destination. Ordering:
//   - the main thread (ReadComm) stores count, destination and position, then sets
//     `armed` with release order; the watcher loads `armed` with acquire order before
//     it reads the others;
//   - the watcher stores the bytes of a read one by one, each followed by the
//     position; on the last byte it clears `armed` (release) before it asks the main
//     thread to run DataReady, so a main thread that sees `armed` false (acquire)
//     also sees every byte stored.
//   - `storing` brackets the watcher's store of one byte. Disarming (StopReading,
//     re-arming) clears `armed` and then waits while `storing` is set, so once it
//     returns the watcher no longer writes into the old destination. Both sides use
//     sequentially consistent order for this pair: either the watcher sees the
//     reception disarmed and keeps the byte out of it, or the main thread sees it
//     storing and waits the few instructions it takes.
//   - every disarming advances `generation`. The hand-over of a completed reception
//     carries the generation it completed; a hand-over whose generation is no longer
//     current is withdrawn and never runs DataReady, so a wait is only ever ended by
//     its own reception.
//   - on the last byte, still inside `storing`, the watcher takes the completion
//     time and publishes the hand-over (generation and time) under control_, and
//     only then clears `armed`. So a disarming that returns has seen the hand-over
//     and withdrawn it, and a main thread that finds no hand-over under control_ at
//     time T knows that any later one completed after T.
//   - `discards` counts discardReceived calls. A byte read by a read that began
//     before the latest discard (or carried over from before it) arrived before
//     the discard and is dropped. The main thread advances it before it arms the
//     next reception, so a watcher that sees that reception armed sees the count.
//   - bytes of a read that the reception it was made for cannot take (it was given
//     up, or re-armed shorter, while the read was under way) are carried over, in
//     order, to the next reception, as if they had stayed in the driver's queue.
//   - a completion is stamped with the time its last byte was read, except where
//     that time says nothing of when the bytes came: the watcher was held up (a
//     read returned more than kHeldUpGap after the watcher last looked at the line:
//     the process was stopped or starved), so the bytes may have come at any moment
//     since that look, which is then the stamp (an empty read that lasted longer than
//     a read can is no look: its driver may have ended it during the stall); or the
//     main thread asked the watcher
//     to catch up at a time-out (catchUp), and the bytes the port held then count as
//     received by that time-out's deadline.
//   - a catch-up is a request under control_ that the watcher serves at the top of
//     its next read: it reads only what the port reports queued (never waiting), and
//     serves the request once the port holds nothing more for the reception, or the
//     reception completed. The main thread waits a bounded moment for either.
//   - when a read finds the device gone (OsSerialPort::deviceGone), the watcher
//     hands the owner's ReportDeviceGone to the main thread the way it hands over a
//     completion, once for the port, and then reads no more from it: a hung-up line
//     answers every read at once. That hand-over belongs to no reception: it is
//     never withdrawn by a disarming, only cancelled by termination.
// Pausing, resuming, termination and the read under way go through a mutex and
// condition variable.
// The watcher's thread ends with one more act of the main thread's (RunLast, the
// port's close): a close that a driver holds is then held on a thread that exists
// anyway, and the main thread waits for it within a bound. From the moment the
// watcher has left its cycle, its thread touches only the shared Last block, so the
// object may go while a held act goes on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "MainThread.h"
#include "OsSerialPort.h"

namespace zb {

class TZbComm;

class TRead {
public:
    // The thread starts paused when createSuspended is true (always, in this program).
    TRead(bool createSuspended, OsSerialPort* port, TZbComm* owner, MainThread& main);
    // Asks the thread to terminate, resumes it if paused, and waits for its end
    // (at once when RunLast left it to its act).
    ~TRead();
    TRead(const TRead&) = delete;
    TRead& operator=(const TRead&) = delete;

    // Main thread: arm, disarm and look at the reception. Disarming withdraws a
    // hand-over of the reception that has not run DataReady yet.
    void arm(std::uint8_t* destination, std::int32_t count);
    void disarm();
    bool armed() const { return armed_.load(std::memory_order_acquire); }
    // Main thread: when the watcher holds a completed reception of the current
    // generation whose hand-over has not run, and it completed at or before
    // `deadline`, runs DataReady for it now, in place of the hand-over (which then
    // does nothing). True when it did.
    bool handOverCompletedBy(std::chrono::steady_clock::time_point deadline);
    // Main thread, while DataReady runs: when the reception it reports completed.
    std::chrono::steady_clock::time_point completedAt() const { return handingOver_; }
    // Bytes stored so far by the armed reception (0 once it completed).
    std::int32_t received() const { return position_.load(std::memory_order_acquire); }
    // Bytes stored by the latest reception since it was armed, also once it
    // completed or was given up.
    std::int32_t stored() const { return stored_.load(std::memory_order_acquire); }
    // Main thread, at a wait's time-out: the watcher takes at once what the port
    // holds for the armed reception, as received by `deadline` (the bytes were there
    // when the program first looked after it), and this returns once it has: the
    // port held nothing more, or the reception completed and its hand-over is
    // pending. Never longer than kCatchUpBound; at once when nothing is armed.
    void catchUp(std::chrono::steady_clock::time_point deadline);
    // Main thread, no reception armed: drops the bytes carried over from a given-up
    // reception and ends a read under way, dropping what it brings. Returns once
    // the watcher holds no byte that arrived before this call; the driver's queue
    // is the caller's (TZbComm::DiscardInput).
    void discardReceived();

    // Lets a paused watcher run. The port may be replaced only while it is paused.
    void Resume();
    void setPort(OsSerialPort* port);
    // Returns once the watcher makes no further read attempt until Resume: it is
    // parked at the top of its cycle, or waiting for the main thread to run
    // DataReady (it reads nothing until that has run and then parks).
    void Suspend();
    // Asks the thread to leave Execute; a read under way ends at once, a watcher
    // waiting for the main thread gives up its wait, and the pending DataReady is
    // not run.
    void Terminate();
    // Main thread: Terminate, and wait until the watcher has left its cycle: no read
    // is under way or comes, and it makes no call of the owner's, the port's or the
    // main thread's any more.
    void Stop();
    // Main thread, after Stop: the watcher's thread runs `act` as its last act, and
    // this waits at most `bound` for it. Returns the act's result; nothing when the
    // act outlasted the bound, and the thread is then left to it: `act` must own
    // what it uses, as this object may go first. Once only.
    std::optional<bool> RunLast(std::function<bool()> act, std::chrono::milliseconds bound);

    // A read waits at most 100 ms for its first byte, and a Windows read then takes
    // the bytes as they come, at most a scratch buffer's 100 (52 ms at 19200 baud):
    // one that returns later than this after the watcher last looked at the line was
    // held up.
    static constexpr std::chrono::milliseconds kHeldUpGap{200};
    // How long catchUp waits for the watcher: a scheduling delay, never a read's
    // time-out.
    static constexpr std::chrono::milliseconds kCatchUpBound{50};

private:
    struct MainCall;
    struct Last;
    using TimePoint = std::chrono::steady_clock::time_point;
    void Execute();
    bool parkIfPaused();                 // false when terminated
    // Naps `period`, less when paused, terminated or armed.
    void idleSleep(std::chrono::milliseconds period);
    // After a read that brought nothing at once: naps, less when paused, terminated,
    // or when the reception of `generation` was given up or replaced.
    void napUnlessRearmed(std::uint64_t generation);
    // When the owner was told that the device has gone: reads nothing and returns
    // true once paused or terminated.
    bool waitIfGone();
    // With the last byte stored: notes the completion, stamped now or at
    // `arrivedBy` when that is earlier, and publishes its hand-over; or (deviceGone)
    // publishes the news that the device has gone.
    std::shared_ptr<MainCall> publishCompletion(std::uint64_t generation, bool deviceGone,
                                                std::optional<TimePoint> arrivedBy = std::nullopt);
    bool portGone();
    // Has the main thread run the owner's ReportDeviceGone, once for the port.
    void reportDeviceGone();
    // Has the main thread run the owner's DataReady for the published reception, and
    // waits until it has run or was withdrawn.
    void Synchronize(const std::shared_ptr<MainCall>& call);
    // Main thread, the call taken (Running): runs DataReady and marks the call done.
    void runDataReady(const std::shared_ptr<MainCall>& call);
    void withdrawPendingCall();
    // Reads into scratch_ what the armed reception still lacks, the carried bytes
    // first; `discards` is the discard count when the read began. While a catch-up
    // is asked for, reads only what the port holds (serving the request when that
    // is nothing) and sets `arrivedBy` to its deadline. Returns the count.
    int readSome(std::uint64_t& discards, std::optional<TimePoint>& arrivedBy);
    // Stores scratch_[0, count) into the armed reception, completing it when full;
    // what it cannot take is carried over.
    void storeReceived(int count, std::uint64_t discards, std::optional<TimePoint> arrivedBy);
    bool catchUpWanted() const { return catchUpServed_ != catchUpRequest_; }  // control_
    // Keeps scratch_[from, count) for the next reception.
    void carryOver(int from, int count, std::uint64_t discards);

    // Shared reception; see the ordering rules above.
    std::atomic<bool> armed_{false};
    std::atomic<bool> storing_{false};
    std::atomic<std::int32_t> count_{0};
    std::atomic<std::int32_t> position_{0};
    std::atomic<std::int32_t> stored_{0};  // position_, but kept at completion
    std::atomic<std::uint8_t*> destination_{nullptr};
    std::atomic<std::uint64_t> generation_{0};  // advanced by the main thread at each disarming
    std::atomic<std::uint64_t> discards_{0};    // advanced under control_

    std::uint8_t scratch_[100] = {};  // the watcher's own
    // scratch_[carryBegin_, carryEnd_) was read for a reception that could not take it;
    // control_ (the bytes themselves are the watcher's).
    int carryBegin_ = 0;
    int carryEnd_ = 0;
    std::uint64_t carriedDiscards_ = 0;  // the discard count when they were read; control_
    bool reading_ = false;  // a port read is under way; control_
    // Catch-ups asked for and served (control_), and the deadline of the latest.
    std::uint64_t catchUpRequest_ = 0;
    std::uint64_t catchUpServed_ = 0;
    TimePoint catchUpDeadline_{};
    // The watcher's own: when it last looked at the line (a read returned, or it
    // came back from waiting for the main thread, a pause or a reception).
    TimePoint lookedAt_{};
    TZbComm* owner_;
    MainThread& main_;
    OsSerialPort* port_;  // handed over under control_ while paused

    std::mutex control_;
    std::condition_variable changed_;
    bool pauseRequested_;
    bool parked_ = false;        // at the top of the cycle, paused
    bool waitingMain_ = false;   // waiting for DataReady to run
    bool ended_ = false;
    bool goneReported_ = false;  // the port's device has gone and the owner was told; control_
    std::atomic<bool> terminated_{false};
    std::shared_ptr<MainCall> pendingCall_;  // guarded by control_
    std::chrono::steady_clock::time_point handingOver_{};  // main thread only

    // What the thread does once it has left Execute; shared with the thread itself.
    std::shared_ptr<Last> last_;
    std::thread thread_;
};

}  // namespace zb
