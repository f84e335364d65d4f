// A stand-in serial driver below the Windows port layer. It passes every call on to
// the system (under Wine: the device emulator on COM3) and plays, when a test asks,
// what real USB-serial drivers do and Wine's serial layer does not: a pulled adapter
// failing transfers with the driver's own code, a write that stays pending for its
// line time and then fails, ends short, ends empty or sticks, a read ended with 995
// that nobody cancelled, reads that return 0 bytes at once, a close that blocks.
//
// It also orders the race of a pull during a pending write: the watcher's calls
// then wait until the main thread (the one that opened the port) has made a call
// that is not the failed write's own, so the main thread looks first.
#pragma once

// Before <windows.h>, whose macros would rename the port layer's constants.
#include "Win32System.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace zbtest {

// How the write that sets the fault off ends.
enum class WriteEnd {
    AtOnce,        // WriteFile itself fails with the code
    PendingFails,  // pending for its line time, then failed with the code
    PendingShort,  // pending for its line time, then half of it written
    PendingEmpty,  // pending for its line time, then nothing written
    PendingStuck,  // pending for ever; a cancel is ignored, the close ends it
    Taken,         // taken at once; the pull shows in the watcher's read
};

struct DriverFault {
    // The write that sets it off: the nth request (from 1) of at least minBytes bytes.
    int nth = 1;
    DWORD minBytes = 1;
    WriteEnd end = WriteEnd::AtOnce;
    DWORD code = ERROR_GEN_FAILURE;
    // The adapter goes with that write: every later call on the handle fails with
    // `code`, ClearCommError included. Otherwise the device stays and only that
    // write fails (a CDC device that stopped reading, a held line).
    bool pulled = true;
    // After the pull, the watcher's calls wait until the main thread has looked.
    bool holdWatcher = false;
};

class StandInDriver final : public zb::Win32System {
public:
    StandInDriver();
    ~StandInDriver() override;

    // Played from the next write on.
    void arm(const DriverFault& fault);
    // Every read request ends with 995, keeping the bytes it had read (usbser.sys).
    void setUnaskedAborts(bool on);
    // The read time-outs are ignored: a read returns at once, with what is there or
    // with nothing (CH340).
    void setReadsReturnAtOnce(bool on);
    // The port's CloseHandle waits in the driver until releaseClose.
    void setCloseHeld(bool on);
    void releaseClose();

    bool fired() const;
    bool pulled() const;
    // The watcher was let go: the main thread looked, or a read was cancelled.
    bool watcherReleased() const;
    int reads() const;
    int emptyReads() const;
    int abortsPlayed() const;
    bool closeEntered() const;
    bool closeReturned() const;
    // Waits at most `limit` for the held close to return.
    bool waitCloseReturned(std::chrono::milliseconds limit);

    HANDLE createFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) override;
    BOOL closeHandle(HANDLE h) override;
    BOOL getCommState(HANDLE h, DCB* dcb) override;
    BOOL setCommState(HANDLE h, DCB* dcb) override;
    BOOL setupComm(HANDLE h, DWORD receive, DWORD transmit) override;
    BOOL getCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) override;
    BOOL setCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) override;
    BOOL setCommMask(HANDLE h, DWORD mask) override;
    BOOL readFile(HANDLE h, void* bytes, DWORD count, OVERLAPPED* record) override;
    BOOL writeFile(HANDLE h, const void* bytes, DWORD count, OVERLAPPED* record) override;
    BOOL getOverlappedResult(HANDLE h, OVERLAPPED* record, DWORD* transferred, BOOL wait) override;
    BOOL cancelIoEx(HANDLE h, OVERLAPPED* record) override;
    BOOL flushFileBuffers(HANDLE h) override;
    BOOL clearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) override;
    BOOL purgeComm(HANDLE h, DWORD flags) override;
    BOOL setCommBreak(HANDLE h) override;
    BOOL clearCommBreak(HANDLE h) override;
    BOOL escapeCommFunction(HANDLE h, DWORD code) override;

private:
    // A request the stand-in ends itself instead of the system.
    struct Played {
        bool done = false;
        bool stuck = false;
        BOOL ok = FALSE;
        DWORD error = 0;
        DWORD bytes = 0;
    };
    bool onMainThread() const;
    // A pulled device's answer to a call; a main-thread call that is not the failed
    // write's own lets the watcher go first.
    BOOL failPulled(bool writesOwn);
    // A watcher's call after the pull waits here until it is let go.
    void holdIfWatcher(std::unique_lock<std::mutex>& lock);
    void complete(OVERLAPPED* record, const Played& result);
    BOOL playWrite(DWORD count, OVERLAPPED* record);

    zb::Win32System& system_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::thread::id mainThread_;
    DWORD baud_ = 19200;
    bool armed_ = false;
    DriverFault fault_;
    int seen_ = 0;
    bool fired_ = false;
    bool pulled_ = false;
    bool released_ = false;
    bool unaskedAborts_ = false;
    bool readsAtOnce_ = false;
    bool closeHeld_ = false;
    bool closeEntered_ = false;
    bool closeReturned_ = false;
    int reads_ = 0;
    int emptyReads_ = 0;
    int aborts_ = 0;
    OVERLAPPED* readRecord_ = nullptr;
    OVERLAPPED* transmitRecord_ = nullptr;
    std::map<OVERLAPPED*, Played> played_;
    std::vector<std::thread> workers_;
    bool ending_ = false;
};

}  // namespace zbtest
