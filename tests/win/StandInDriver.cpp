#include "StandInDriver.h"

#include <algorithm>

namespace zbtest {

namespace {
constexpr DWORD kBitsPerByte = 10;  // 8N1
}

StandInDriver::StandInDriver() : system_(zb::SystemWin32()) {}

StandInDriver::~StandInDriver() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
        released_ = true;
        closeHeld_ = false;
    }
    changed_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void StandInDriver::arm(const DriverFault& fault) {
    std::lock_guard lock(mutex_);
    fault_ = fault;
    armed_ = true;
    seen_ = 0;
}

void StandInDriver::setUnaskedAborts(bool on) {
    std::lock_guard lock(mutex_);
    unaskedAborts_ = on;
}

void StandInDriver::setReadsReturnAtOnce(bool on) {
    std::lock_guard lock(mutex_);
    readsAtOnce_ = on;
}

void StandInDriver::setCloseHeld(bool on) {
    std::lock_guard lock(mutex_);
    closeHeld_ = on;
}

void StandInDriver::releaseClose() {
    {
        std::lock_guard lock(mutex_);
        closeHeld_ = false;
    }
    changed_.notify_all();
}

bool StandInDriver::fired() const {
    std::lock_guard lock(mutex_);
    return fired_;
}
bool StandInDriver::pulled() const {
    std::lock_guard lock(mutex_);
    return pulled_;
}
bool StandInDriver::watcherReleased() const {
    std::lock_guard lock(mutex_);
    return released_;
}
int StandInDriver::reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
}
int StandInDriver::emptyReads() const {
    std::lock_guard lock(mutex_);
    return emptyReads_;
}
int StandInDriver::abortsPlayed() const {
    std::lock_guard lock(mutex_);
    return aborts_;
}
bool StandInDriver::closeEntered() const {
    std::lock_guard lock(mutex_);
    return closeEntered_;
}
bool StandInDriver::closeReturned() const {
    std::lock_guard lock(mutex_);
    return closeReturned_;
}

bool StandInDriver::waitCloseReturned(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return closeReturned_; });
}

bool StandInDriver::onMainThread() const { return std::this_thread::get_id() == mainThread_; }

BOOL StandInDriver::failPulled(bool writesOwn) {
    if (onMainThread() && !writesOwn && !released_) {
        released_ = true;
        changed_.notify_all();
    }
    ::SetLastError(fault_.code);
    return FALSE;
}

void StandInDriver::holdIfWatcher(std::unique_lock<std::mutex>& lock) {
    if (!fault_.holdWatcher || onMainThread()) return;
    changed_.wait(lock, [this] { return released_; });
}

void StandInDriver::complete(OVERLAPPED* record, const Played& result) {
    played_[record] = result;
    if (result.done) ::SetEvent(record->hEvent);
}

BOOL StandInDriver::playWrite(DWORD count, OVERLAPPED* record) {
    fired_ = true;
    armed_ = false;
    const WriteEnd end = fault_.end;
    if (end == WriteEnd::AtOnce) {
        pulled_ = fault_.pulled;
        ::SetLastError(fault_.code);
        return FALSE;
    }
    if (end == WriteEnd::Taken) {
        pulled_ = fault_.pulled;
        complete(record, Played{true, false, TRUE, 0, count});
        return TRUE;
    }
    ::ResetEvent(record->hEvent);
    played_[record] = Played{false, end == WriteEnd::PendingStuck};
    const auto lineTime = std::chrono::milliseconds(std::max<DWORD>(1, count * kBitsPerByte * 1000 / baud_));
    workers_.emplace_back([this, record, count, end, lineTime] {
        std::unique_lock lock(mutex_);
        // The adapter goes while the request waits for its line time.
        changed_.wait_for(lock, lineTime, [this] { return ending_; });
        pulled_ = fault_.pulled;
        if (end == WriteEnd::PendingStuck) return;
        Played result{true, false, TRUE, 0, 0};
        if (end == WriteEnd::PendingFails) {
            result.ok = FALSE;
            result.error = fault_.code;
        } else if (end == WriteEnd::PendingShort) {
            result.bytes = count / 2;
        }
        complete(record, result);
    });
    ::SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

HANDLE StandInDriver::createFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    {
        std::lock_guard lock(mutex_);
        mainThread_ = std::this_thread::get_id();
        pulled_ = false;
        released_ = false;
        closeEntered_ = closeReturned_ = false;
    }
    return system_.createFile(path, access, share, disposition, flags);
}

BOOL StandInDriver::closeHandle(HANDLE h) {
    std::unique_lock lock(mutex_);
    closeEntered_ = true;
    // The driver ends what it still held: a stuck request ends cancelled.
    for (auto& [record, result] : played_) {
        if (!result.done) complete(record, Played{true, false, FALSE, ERROR_OPERATION_ABORTED, 0});
    }
    played_.clear();
    changed_.wait(lock, [this] { return !closeHeld_; });
    lock.unlock();
    const BOOL ok = system_.closeHandle(h);
    lock.lock();
    closeReturned_ = true;
    changed_.notify_all();
    return ok;
}

BOOL StandInDriver::getCommState(HANDLE h, DCB* dcb) {
    {
        std::lock_guard lock(mutex_);
        if (pulled_) return failPulled(false);
    }
    return system_.getCommState(h, dcb);
}

BOOL StandInDriver::setCommState(HANDLE h, DCB* dcb) {
    {
        std::lock_guard lock(mutex_);
        if (pulled_) return failPulled(false);
        baud_ = std::max<DWORD>(dcb->BaudRate, 300);
    }
    return system_.setCommState(h, dcb);
}

BOOL StandInDriver::setupComm(HANDLE h, DWORD receive, DWORD transmit) {
    {
        std::lock_guard lock(mutex_);
        if (pulled_) return failPulled(false);
    }
    return system_.setupComm(h, receive, transmit);
}

BOOL StandInDriver::getCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
    {
        std::lock_guard lock(mutex_);
        if (pulled_) return failPulled(false);
    }
    return system_.getCommTimeouts(h, timeouts);
}

BOOL StandInDriver::setCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
    {
        std::lock_guard lock(mutex_);
        if (pulled_) return failPulled(false);
    }
    return system_.setCommTimeouts(h, timeouts);
}

BOOL StandInDriver::setCommMask(HANDLE h, DWORD mask) {
    {
        std::lock_guard lock(mutex_);
        if (pulled_) return failPulled(false);
    }
    return system_.setCommMask(h, mask);
}

BOOL StandInDriver::readFile(HANDLE h, void* bytes, DWORD count, OVERLAPPED* record) {
    {
        std::unique_lock lock(mutex_);
        readRecord_ = record;
        ++reads_;
        if (pulled_) {
            holdIfWatcher(lock);
            return failPulled(false);
        }
    }
    return system_.readFile(h, bytes, count, record);
}

BOOL StandInDriver::writeFile(HANDLE h, const void* bytes, DWORD count, OVERLAPPED* record) {
    {
        std::lock_guard lock(mutex_);
        transmitRecord_ = record;
        played_.erase(record);
        if (pulled_) return failPulled(false);
        if (armed_ && count >= fault_.minBytes && ++seen_ == fault_.nth) return playWrite(count, record);
    }
    return system_.writeFile(h, bytes, count, record);
}

BOOL StandInDriver::getOverlappedResult(HANDLE h, OVERLAPPED* record, DWORD* transferred, BOOL wait) {
    {
        std::unique_lock lock(mutex_);
        if (auto it = played_.find(record); it != played_.end()) {
            if (!it->second.done) {
                if (!wait) {
                    ::SetLastError(ERROR_IO_INCOMPLETE);
                    return FALSE;
                }
                changed_.wait(lock, [&] { return played_.count(record) == 0 || played_[record].done; });
            }
            const Played result = played_[record];
            *transferred = result.bytes;
            if (!result.ok) ::SetLastError(result.error);
            return result.ok;
        }
    }
    bool atOnce = false;
    {
        std::lock_guard lock(mutex_);
        atOnce = readsAtOnce_ && record == readRecord_ && !pulled_;
    }
    // A driver that ignores the read time-outs ends the read with what is there now.
    // (Wine does not play the system's own "return at once" time-outs on a serial
    // read: such a read waits for a byte.)
    if (atOnce && wait && !system_.getOverlappedResult(h, record, transferred, FALSE) &&
        ::GetLastError() == ERROR_IO_INCOMPLETE) {
        system_.cancelIoEx(h, record);
    }
    // The system's own request: it ends within the working time-outs.
    BOOL ok = system_.getOverlappedResult(h, record, transferred, wait);
    if (atOnce && !ok && ::GetLastError() == ERROR_OPERATION_ABORTED) ok = TRUE;
    const DWORD err = ok ? 0 : ::GetLastError();
    std::unique_lock lock(mutex_);
    if (record == readRecord_) {
        if (pulled_) {
            *transferred = 0;
            holdIfWatcher(lock);
            return failPulled(false);
        }
        if (ok && *transferred == 0) ++emptyReads_;
        if (ok && unaskedAborts_) {
            ++aborts_;
            ::SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
    }
    if (!ok) ::SetLastError(err);
    return ok;
}

BOOL StandInDriver::cancelIoEx(HANDLE h, OVERLAPPED* record) {
    {
        std::lock_guard lock(mutex_);
        // A driver that holds a request ignores the cancel.
        if (played_.count(record) != 0) return TRUE;
        // A cancelled read lets a held watcher go.
        if (pulled_ && record == readRecord_ && !released_) {
            released_ = true;
            changed_.notify_all();
        }
    }
    return system_.cancelIoEx(h, record);
}

BOOL StandInDriver::flushFileBuffers(HANDLE h) {
    {
        std::lock_guard lock(mutex_);
        if (pulled_) return failPulled(false);
    }
    return system_.flushFileBuffers(h);
}

BOOL StandInDriver::clearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
    {
        std::unique_lock lock(mutex_);
        if (pulled_) {
            holdIfWatcher(lock);
            // The failed write's own confirmation, on the main thread.
            return failPulled(true);
        }
    }
    return system_.clearCommError(h, errors, stat);
}

BOOL StandInDriver::purgeComm(HANDLE h, DWORD flags) {
    {
        std::lock_guard lock(mutex_);
        if (pulled_) return failPulled(true);
    }
    return system_.purgeComm(h, flags);
}

BOOL StandInDriver::setCommBreak(HANDLE h) {
    {
        std::lock_guard lock(mutex_);
        if (pulled_) return failPulled(false);
    }
    return system_.setCommBreak(h);
}

BOOL StandInDriver::clearCommBreak(HANDLE h) {
    {
        std::lock_guard lock(mutex_);
        if (pulled_) return failPulled(false);
    }
    return system_.clearCommBreak(h);
}

BOOL StandInDriver::escapeCommFunction(HANDLE h, DWORD code) {
    {
        std::lock_guard lock(mutex_);
        if (pulled_) return failPulled(false);
    }
    return system_.escapeCommFunction(h, code);
}

}  // namespace zbtest
