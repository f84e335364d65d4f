// The serial port on Windows, with the communications functions of the Windows API.
//
// The device is opened for overlapped use, and every call waits for its own request
// to end, so that each operation is synchronous for its caller. The reason: on a
// handle opened without overlapping, Windows runs one request at a time, so while
// the receive watcher's read waits (up to its 100 ms time-out) every write,
// break or escape call of the main thread would wait behind it, and the watcher is
// armed before every command is written.
//
// Every call on the device goes through Win32System (the system's own calls, or a
// test's stand-in driver).
// Before <windows.h>, which defines the escape codes' names as macros.
#include "OsSerialPort.h"
#include "Win32Dcb.h"
#include "Win32System.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace zb {

namespace {

// Working read time-outs: a read returns when the bytes asked for have arrived, 2 ms
// after the last byte when fewer came, or after 100 ms with nothing. The interval is
// short because a read may have been made for a reception that was given up and asked
// for more than the next reply brings (the discard's read of five bytes takes the
// probe's three-byte reply): those bytes are handed on only when the read ends. Two
// milliseconds is two bytes' time at 9600 baud; a read that ends between two bytes of
// a slower or chunked line is simply followed by the next one.
constexpr DWORD kReadInterval = 2;
constexpr DWORD kReadMultiplier = 0;
constexpr DWORD kReadConstant = 100;

// Beyond a write's own limit, how long its request may take to report its end.
constexpr std::chrono::milliseconds kCompletionMargin{500};
// How long a cancelled request may take to end.
constexpr DWORD kCancelWaitMs = 1000;
// Between the two failing ClearCommError calls that show a port's device gone.
constexpr DWORD kGoneConfirmMs = 10;

// An event for one kind of request: manual reset, created signalled, unnamed.
HANDLE makeEvent() { return ::CreateEventA(nullptr, TRUE, TRUE, nullptr); }

// A request record made ready for the next request: status, count and offset
// cleared, its event kept.
void clearRecord(OVERLAPPED& record) {
    record.Internal = 0;
    record.InternalHigh = 0;
    record.Offset = 0;
    record.OffsetHigh = 0;
}

// The request records and their events. The driver writes a record until its
// request has ended, so the block lives as long as a request or a close that may
// still be under way in the driver, also past the port.
struct Requests {
    Requests() : transmitEvent(makeEvent()), readEvent(makeEvent()) {
        transmit.hEvent = transmitEvent;
        read.hEvent = readEvent;
    }
    ~Requests() {
        if (transmitEvent != nullptr) ::CloseHandle(transmitEvent);
        if (readEvent != nullptr) ::CloseHandle(readEvent);
    }
    Requests(const Requests&) = delete;
    Requests& operator=(const Requests&) = delete;
    OVERLAPPED transmit{};  // main thread: writes
    OVERLAPPED read{};      // watcher: reads
    HANDLE transmitEvent;
    HANDLE readEvent;
};

// A request the driver never ended may still be written into at any time: its
// records are kept for the life of the process.
void keepForever(std::shared_ptr<Requests> requests) {
    static std::mutex guard;
    static std::vector<std::shared_ptr<Requests>> kept;
    std::lock_guard lock(guard);
    kept.push_back(std::move(requests));
}

DWORD toDword(std::chrono::milliseconds limit) {
    // No limit, or one beyond what the driver takes: 0 means none for the driver.
    if (limit.count() <= 0 || limit.count() >= static_cast<long long>(MAXDWORD)) return 0;
    return static_cast<DWORD>(limit.count());
}

class Win32SerialPort final : public OsSerialPort {
public:
    explicit Win32SerialPort(Win32System& system) : sys_(system) {}

    ~Win32SerialPort() override { close(); }

    bool open(const std::string& path) override {
        if (handle_ != INVALID_HANDLE_VALUE) return fail(ERROR_BUSY);
        // Read and write, no sharing (a second opener is refused), only an existing
        // device, written through without buffering.
        HANDLE h = sys_.createFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING);
        if (h == INVALID_HANDLE_VALUE) return fail(::GetLastError());
        handle_ = h;
        gone_.store(false, std::memory_order_relaxed);
        timeoutsInstalled_ = false;
        return true;
    }

    bool readLineSettings() override {
        dcb_ = DCB{};
        dcb_.DCBlength = sizeof dcb_;
        if (!sys_.getCommState(handle_, &dcb_)) return fail(::GetLastError());
        original_ = dcb_;
        originalValid_ = true;
        return true;
    }

    bool writeLineSettings(const LineSettings& s) override {
        DCB d = workingDcb(dcb_, s);
        if (!sys_.setCommState(handle_, &d)) return fail(::GetLastError());
        dcb_ = d;
        return true;
    }

    bool setSpeed(long baud) override {
        DCB d = dcb_;
        d.BaudRate = static_cast<DWORD>(baud);
        if (!sys_.setCommState(handle_, &d)) return fail(::GetLastError());
        dcb_ = d;
        return true;
    }

    bool setQueueSizes(std::size_t receive, std::size_t transmit) override {
        if (!sys_.setupComm(handle_, static_cast<DWORD>(receive), static_cast<DWORD>(transmit)))
            return fail(::GetLastError());
        return true;
    }

    bool saveTimeouts() override {
        if (!sys_.getCommTimeouts(handle_, &saved_)) return fail(::GetLastError());
        savedValid_ = true;
        return true;
    }

    bool setWorkingTimeouts() override { return installTimeouts(0); }

    bool restoreSettings() override {
        if (handle_ == INVALID_HANDLE_VALUE) return false;
        bool ok = true;
        if (originalValid_ && !sys_.setCommState(handle_, &original_)) ok = fail(::GetLastError());
        if (savedValid_ && !sys_.setCommTimeouts(handle_, &saved_)) ok = fail(::GetLastError());
        return ok && originalValid_ && savedValid_;
    }

    bool selectTransmitEmptyEvent() override {
        if (!sys_.setCommMask(handle_, EV_TXEMPTY)) return fail(::GetLastError());
        return true;
    }

    int read(std::uint8_t* bytes, std::size_t max) override {
        if (deviceGone()) return -1;
        if (interrupted_.exchange(false)) return 0;
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(std::max<std::size_t>(max, 1), 0x10000));
        // The read record: its count is the request's own, also when it is cancelled.
        clearRecord(requests_->read);
        if (!sys_.readFile(handle_, bytes, want, &requests_->read)) {
            const DWORD err = ::GetLastError();
            if (err != ERROR_IO_PENDING) return readFailed(err);
            // An interruption that came just before the request was made.
            if (interrupted_.exchange(false)) sys_.cancelIoEx(handle_, &requests_->read);
        }
        // The working time-outs end the request after 100 ms at the latest, and 2 ms
        // after the last byte when fewer than asked for came.
        if (!sys_.getOverlappedResult(handle_, &requests_->read, &n, TRUE)) {
            const DWORD err = ::GetLastError();
            // Interrupted: the bytes the request had taken while it waited for more
            // come back with it, as a POSIX read returns what it read (the watcher
            // drops them itself when it interrupted to discard). A pulled adapter's
            // driver often ends the read under way the same way.
            if (err == ERROR_OPERATION_ABORTED) {
                if (n == 0 && confirmGone()) return readFailed(err);
                return static_cast<int>(std::min<DWORD>(n, want));
            }
            return readFailed(err);
        }
        return static_cast<int>(std::min<DWORD>(n, want));
    }

    bool deviceGone() const override { return gone_.load(std::memory_order_acquire); }

    // FTDI's latency timer is a registry value of the driver, which only an
    // administrator may change: the station sets it once (see the README).
    void requestLowLatency() override {}

    void interruptRead() override {
        interrupted_.store(true);
        if (handle_ != INVALID_HANDLE_VALUE) sys_.cancelIoEx(handle_, &requests_->read);
    }

    bool write(const std::uint8_t* bytes, std::size_t count, std::chrono::milliseconds limit) override {
        // A request that could not be cancelled still owns the transmit record.
        if (transmitStuck_) return writeFailed(ERROR_IO_PENDING);
        // The limit is the driver's write time-out: a line that does not take the
        // bytes in time ends the request with fewer bytes written.
        if (!installTimeouts(toDword(limit))) return writeFailed(error_);
        while (count > 0) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count, 0x10000000));
            DWORD written = 0;
            // The transmit record: its event is reset by the request and signalled
            // again when the request has ended.
            clearRecord(requests_->transmit);
            if (sys_.writeFile(handle_, bytes, chunk, &requests_->transmit)) {
                // Ended at once, as it mostly does: the driver took the bytes.
                if (!sys_.getOverlappedResult(handle_, &requests_->transmit, &written, FALSE))
                    return writeFailed(::GetLastError());
            } else {
                const DWORD err = ::GetLastError();
                if (err != ERROR_IO_PENDING) return writeFailed(err);
                if (!awaitWrite(limit, written)) return writeFailed(::GetLastError());
            }
            // A request that ended empty or short: a held line, or the adapter went
            // while the request waited for its line time.
            if (written == 0) return writeFailed(ERROR_TIMEOUT);
            bytes += written;
            count -= written;
            if (written < chunk) return writeFailed(ERROR_TIMEOUT);
        }
        return true;
    }

    bool flush(std::chrono::milliseconds limit) override {
        // Without a limit the driver finishes what it holds in FlushFileBuffers.
        if (limit == std::chrono::milliseconds::max()) {
            if (!sys_.flushFileBuffers(handle_)) return fail(::GetLastError());
            return true;
        }
        // Bounded: wait while the driver still holds bytes for the line. Once its
        // queue is seen empty nothing is left to wait for; FlushFileBuffers would
        // add a wait without a deadline, in which some USB-serial drivers hang.
        const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(limit.count());
        for (;;) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (!sys_.clearCommError(handle_, &errors, &stat)) {
                const DWORD err = ::GetLastError();
                (void)confirmGone();
                return fail(err);
            }
            if (stat.cbOutQue == 0) return true;
            if (::GetTickCount64() >= deadline) return abandonOutput(ERROR_TIMEOUT);
            ::Sleep(1);
        }
    }

    std::size_t queuedOutput() override {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!sys_.clearCommError(handle_, &errors, &stat)) return 0;
        return stat.cbOutQue;
    }

    std::size_t queuedInput() override {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!sys_.clearCommError(handle_, &errors, &stat)) return 0;
        return stat.cbInQue;
    }

    bool discardInput() override { return purge(PURGE_RXCLEAR); }
    bool discardOutput() override { return purge(PURGE_TXABORT | PURGE_TXCLEAR); }

    bool setBreak() override {
        if (!sys_.setCommBreak(handle_)) return fail(::GetLastError());
        return true;
    }
    bool clearBreak() override {
        if (!sys_.clearCommBreak(handle_)) return fail(::GetLastError());
        return true;
    }

    bool escape(std::uint32_t code) override {
        // The codes are Windows' own.
        if (!sys_.escapeCommFunction(handle_, code)) return fail(::GetLastError());
        return true;
    }

    bool close() override {
        if (handle_ == INVALID_HANDLE_VALUE) return true;
        HANDLE h = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        savedValid_ = false;
        originalValid_ = false;
        // The records go with the close: the driver may still end a request into
        // them. The next open gets new ones.
        std::shared_ptr<Requests> records = std::move(requests_);
        requests_ = std::make_shared<Requests>();
        if (transmitStuck_) keepForever(records);
        transmitStuck_ = false;
        // Some USB-serial drivers block CloseHandle after a write that timed out:
        // TZbComm makes the close on another thread and waits for it within a bound,
        // and the records stay until the driver has let the handle go.
        if (!sys_.closeHandle(h)) return fail(::GetLastError());
        return true;
    }

    bool isOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }
    int lastOsError() const override {
        return error_ != 0 ? static_cast<int>(error_) : static_cast<int>(readError_.load(std::memory_order_relaxed));
    }

private:
    bool fail(DWORD err) {
        error_ = err;
        return false;
    }
    int readFailed(DWORD err) {
        readError_.store(err, std::memory_order_relaxed);
        (void)confirmGone();
        return -1;
    }
    // Every write that did not get through, whatever its code or its end (refused,
    // failed while pending, ended short or empty, stuck), asks whether the device
    // has gone: the main thread may look before the watcher's read finds out.
    bool writeFailed(DWORD err) {
        (void)confirmGone();
        return abandonOutput(err);
    }
    // A pulled adapter fails every call on its handle, with codes that vary by
    // driver (5, 22, 31, 995, 1167, 121 are seen; Wine gives 21), and the read under
    // way may end as if cancelled.
    // A live port's ClearCommError succeeds, also just after an error that it
    // clears: two failures a moment apart show the device gone.
    bool confirmGone() {
        if (deviceGone()) return true;
        for (int attempt = 0; attempt < 2; ++attempt) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (sys_.clearCommError(handle_, &errors, &stat)) return false;
            if (attempt == 0) ::Sleep(kGoneConfirmMs);
        }
        gone_.store(true, std::memory_order_release);
        return true;
    }
    // A write that did not get through: what is still queued goes, so that no later
    // write, close or exit waits for it.
    bool abandonOutput(DWORD err) {
        (void)sys_.purgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
        return fail(err);
    }
    // Waits for the write request under way: its own limit plus a margin, since some
    // USB-serial drivers ignore the write time-out. Past that it is cancelled.
    bool awaitWrite(std::chrono::milliseconds limit, DWORD& written) {
        const DWORD wait = toDword(limit + kCompletionMargin);
        if (::WaitForSingleObject(requests_->transmitEvent, wait == 0 ? INFINITE : wait) != WAIT_OBJECT_0) {
            sys_.cancelIoEx(handle_, &requests_->transmit);
            if (::WaitForSingleObject(requests_->transmitEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
                // The driver holds the request: the record stays its until the close.
                transmitStuck_ = true;
                ::SetLastError(ERROR_TIMEOUT);
                return false;
            }
        }
        return sys_.getOverlappedResult(handle_, &requests_->transmit, &written, FALSE) != 0;
    }
    bool purge(DWORD flags) {
        if (!sys_.purgeComm(handle_, flags)) return fail(::GetLastError());
        return true;
    }
    // The working time-outs with the given write time-out (0: none). Installed only
    // when the write time-out changes.
    bool installTimeouts(DWORD writeConstant) {
        if (timeoutsInstalled_ && writeConstant == writeTimeout_) return true;
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = kReadInterval;
        t.ReadTotalTimeoutMultiplier = kReadMultiplier;
        t.ReadTotalTimeoutConstant = kReadConstant;
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = writeConstant;
        if (!sys_.setCommTimeouts(handle_, &t)) {
            timeoutsInstalled_ = false;
            return fail(::GetLastError());
        }
        timeoutsInstalled_ = true;
        writeTimeout_ = writeConstant;
        return true;
    }

    Win32System& sys_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::shared_ptr<Requests> requests_ = std::make_shared<Requests>();
    DCB dcb_{};
    DCB original_{};  // as read at open, put back by restoreSettings
    bool originalValid_ = false;
    COMMTIMEOUTS saved_{};
    bool savedValid_ = false;
    bool timeoutsInstalled_ = false;
    bool transmitStuck_ = false;
    DWORD writeTimeout_ = 0;
    DWORD error_ = 0;                       // main thread
    std::atomic<DWORD> readError_{0};       // written by the watcher
    std::atomic<bool> interrupted_{false};  // interruptRead, for the watcher's next read
    // Set by whichever thread confirms the device gone (release), read by both
    // (acquire); cleared only by open, while no watcher reads.
    std::atomic<bool> gone_{false};
};

}  // namespace

std::unique_ptr<OsSerialPort> OsSerialPort::create() { return std::make_unique<Win32SerialPort>(Win32SystemInUse()); }

// Windows opens the stored text as it is: "COM3", or "\\.\COM12" from COM10 on.
std::string OsSerialPort::devicePath(const std::string& portText) { return portText; }

}  // namespace zb
