// The serial port on POSIX systems, with termios.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdlib>
#include <cstring>

#include "OsSerialPort.h"

namespace zb {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The watcher's read gives up after this long with nothing.
constexpr int kReadWaitMs = 100;
// How often a bounded flush looks at the driver's transmit queue.
constexpr std::chrono::milliseconds kFlushPoll{2};

// Milliseconds left until `deadline`, rounded up, for poll().
int msUntil(SteadyClock::time_point deadline) {
    const auto left = deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 1 << 30));
}

SteadyClock::time_point deadlineAfter(std::chrono::milliseconds limit) {
    const auto now = SteadyClock::now();
    // A limit too large for the clock is a very distant deadline, never an overflow.
    if (limit >= std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::time_point::max() - now))
        return SteadyClock::time_point::max();
    return now + limit;
}

speed_t speedOf(long baud, bool& ok) {
    ok = true;
    switch (baud) {
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: ok = false; return B0;
    }
}

// The descriptor stays non-blocking for its whole life: every read and write waits
// in poll() with a deadline, so no call on the port can block without limit, whatever
// the line or the line settings another program puts in force.
class PosixSerialPort final : public OsSerialPort {
public:
    PosixSerialPort() {
        // The wake pipe ends a read under way (interruptRead). Without it reads still
        // end within their 100 ms, only later.
        if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
    }
    ~PosixSerialPort() override {
        close();
        for (int fd : wake_) {
            if (fd >= 0) ::close(fd);
        }
    }

    bool open(const std::string& path) override {
        if (fd_ >= 0) return fail(EBUSY);
        gone_.store(false, std::memory_order_relaxed);
        // Non-blocking: a port without carrier must not hang the open, and no later
        // read or write may block without a deadline.
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return fail(errno);
        // Exclusive: TIOCEXCL turns away later openers that are not privileged, the
        // lock turns away every other opener that asks for it, root included.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int err = errno;
            ::close(fd);
            return fail(err);
        }
        // A regular file or another non-terminal accepts TIOCEXCL's absence; that
        // shows when its line settings are read.
        (void)::ioctl(fd, TIOCEXCL);
        fd_ = fd;
        return true;
    }

    bool readLineSettings() override {
        if (::tcgetattr(fd_, &current_) != 0) return fail(errno);
        original_ = current_;
        originalValid_ = true;
        return true;
    }

    bool writeLineSettings(const LineSettings& s) override {
        termios t = current_;
        bool ok = false;
        const speed_t speed = speedOf(s.baud, ok);
        if (!ok) return fail(EINVAL);
        // 1.5 stop bits do not exist in termios.
        if (s.stop == stopBits::SB1_5) return fail(EINVAL);
        // Raw binary: no line editing, echo, signals, flow control by characters or
        // by CTS/RTS, CR/NL translation or output processing. DTR and RTS keep their
        // levels (devices may use them for reset).
        t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                            IXON | IXOFF | IXANY | INPCK);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        t.c_cflag |= CLOCAL | CREAD;
        switch (s.data) {
            case dataBits::DB5: t.c_cflag |= CS5; break;
            case dataBits::DB6: t.c_cflag |= CS6; break;
            case dataBits::DB7: t.c_cflag |= CS7; break;
            case dataBits::DB8: t.c_cflag |= CS8; break;
        }
        if (s.par == parity::prOdd) t.c_cflag |= PARENB | PARODD;
        if (s.par == parity::prEven) t.c_cflag |= PARENB;
        if (s.stop == stopBits::SB2) t.c_cflag |= CSTOPB;
        if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return fail(errno);
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) return fail(errno);
        // tcsetattr succeeds when it could make any of the changes: read back what is
        // in force, and refuse a line that does not carry the settings asked for.
        if (::tcgetattr(fd_, &current_) != 0) return fail(errno);
        const tcflag_t frame = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
        if ((current_.c_cflag & frame) != (t.c_cflag & frame) || ::cfgetospeed(&current_) != speed ||
            (current_.c_lflag & ICANON) != 0) {
            return fail(EINVAL);
        }
        return true;
    }

    bool setSpeed(long baud) override {
        bool ok = false;
        const speed_t speed = speedOf(baud, ok);
        if (!ok) return fail(EINVAL);
        termios t = current_;
        if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return fail(errno);
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) return fail(errno);
        termios now{};
        if (::tcgetattr(fd_, &now) != 0) return fail(errno);
        if (::cfgetospeed(&now) != speed) return fail(EINVAL);
        current_ = now;
        return true;
    }

    // Queue sizes belong to the driver on POSIX systems and cannot be requested.
    bool setQueueSizes(std::size_t, std::size_t) override { return true; }

    bool saveTimeouts() override {
        // Keeps the settings found at open, which restoreTimeouts puts back whole.
        if (!originalValid_) return fail(EINVAL);
        saved_ = original_;
        savedValid_ = true;
        return true;
    }

    bool setWorkingTimeouts() override {
        termios t = current_;
        // Reads wait in poll() for at most 100 ms; the same limit in the line settings
        // keeps the port's behaviour for a program that inherits it.
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 1;
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) return fail(errno);
        current_ = t;
        return true;
    }

    bool restoreSettings() override {
        // Everything this component changed goes back: line settings, handshake and
        // time-outs. TCSANOW: TCSADRAIN would wait for queued output without limit.
        if (fd_ < 0 || !savedValid_) return false;
        if (::tcsetattr(fd_, TCSANOW, &saved_) != 0) return fail(errno);
        return true;
    }

    // Nothing waits for port events on POSIX systems.
    bool selectTransmitEmptyEvent() override { return true; }

    int read(std::uint8_t* bytes, std::size_t max) override {
        if (deviceGone()) return -1;
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const nfds_t count = wake_[0] >= 0 ? 2 : 1;
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kReadWaitMs);
        for (;;) {
            const int ready = ::poll(fds, count, msUntil(deadline));
            if (ready < 0) {
                if (errno == EINTR) continue;
                readError_.store(errno, std::memory_order_relaxed);
                return -1;
            }
            if (ready == 0) return 0;
            if (count == 2 && (fds[1].revents & POLLIN) != 0) {
                char drain[16];
                while (::read(wake_[0], drain, sizeof drain) > 0) {
                }
                return 0;
            }
            break;
        }
        for (;;) {
            const ssize_t n = ::read(fd_, bytes, max);
            if (n > 0) return static_cast<int>(n);
            // A hung-up tty (its USB adapter pulled) reads as end of file, and poll
            // reports POLLHUP with it. A live one in raw mode without VMIN reads 0 as
            // well, so only the hang-up tells the two apart.
            if (n == 0 && (fds[0].revents & POLLHUP) != 0) return readFailed(EIO);
            if (n == 0) return 0;
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return readFailed(errno);
        }
    }

    bool deviceGone() const override { return gone_.load(std::memory_order_acquire); }

    // Only Linux's ftdi_sio acts on the flag (a 1 ms latency timer instead of 16 ms);
    // the other drivers accept or refuse it, and pseudo-terminals give ENOTTY. The
    // flag is one that an unprivileged user may change, provided every other field
    // goes back exactly as read.
    void requestLowLatency() override {
#ifdef __linux__
        serial_struct info{};
        if (::ioctl(fd_, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY) != 0) return;
        info.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd_, TIOCSSERIAL, &info) == 0) lowLatencySet_ = true;
#endif
    }

    void interruptRead() override {
        if (wake_[1] < 0) return;
        const char byte = 1;
        (void)!::write(wake_[1], &byte, 1);  // a full pipe already wakes the reader
    }

    bool write(const std::uint8_t* bytes, std::size_t count, std::chrono::milliseconds limit) override {
        const auto deadline = deadlineAfter(limit);
        while (count > 0) {
            const ssize_t n = ::write(fd_, bytes, count);
            if (n > 0) {
                bytes += n;
                count -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return lost(errno);
            // The driver takes nothing more now: wait until it does, or the deadline.
            pollfd p{fd_, POLLOUT, 0};
            const int ready = ::poll(&p, 1, msUntil(deadline));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return fail(errno);
            if (ready == 0) return giveUpSending();
            if ((p.revents & POLLNVAL) != 0) return fail(EIO);
            if ((p.revents & (POLLERR | POLLHUP)) != 0) return lost(EIO);
        }
        return true;
    }

    bool flush(std::chrono::milliseconds limit) override {
        // POSIX has no bounded drain: look at the transmit queue until it is empty.
        const auto deadline = deadlineAfter(limit);
        for (;;) {
            int queued = 0;
            if (::ioctl(fd_, TIOCOUTQ, &queued) != 0) return lost(errno);
            if (queued <= 0) return true;
            const auto now = SteadyClock::now();
            if (now >= deadline) return giveUpSending();
            std::this_thread::sleep_for(std::min<SteadyClock::duration>(kFlushPoll, deadline - now));
        }
    }

    std::size_t queuedOutput() override {
        int queued = 0;
        if (::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
        return static_cast<std::size_t>(queued);
    }

    std::size_t queuedInput() override {
        int queued = 0;
        if (::ioctl(fd_, FIONREAD, &queued) != 0 || queued < 0) return 0;
        return static_cast<std::size_t>(queued);
    }

    bool discardInput() override { return ::tcflush(fd_, TCIFLUSH) == 0 || fail(errno); }
    bool discardOutput() override { return ::tcflush(fd_, TCOFLUSH) == 0 || fail(errno); }

    // TIOCSBRK first waits in the kernel (tty_wait_until_sent, no time limit) until
    // the driver's transmit queue is empty; the caller has emptied it.
    bool setBreak() override { return breakOk(TIOCSBRK); }
    bool clearBreak() override { return breakOk(TIOCCBRK); }

    bool escape(std::uint32_t code) override {
        int bits = 0;
        switch (code) {
            case SETXOFF: return ::tcflow(fd_, TCOOFF) == 0 || fail(errno);
            case SETXON: return ::tcflow(fd_, TCOON) == 0 || fail(errno);
            case SETRTS: bits = TIOCM_RTS; return ::ioctl(fd_, TIOCMBIS, &bits) == 0 || fail(errno);
            case CLRRTS: bits = TIOCM_RTS; return ::ioctl(fd_, TIOCMBIC, &bits) == 0 || fail(errno);
            case SETDTR: bits = TIOCM_DTR; return ::ioctl(fd_, TIOCMBIS, &bits) == 0 || fail(errno);
            case CLRDTR: bits = TIOCM_DTR; return ::ioctl(fd_, TIOCMBIC, &bits) == 0 || fail(errno);
            case SETBREAK: return setBreak();
            case CLRBREAK: return clearBreak();
            default: return false;
        }
    }

    bool close() override {
        if (fd_ < 0) return true;
        putBackLatency();
        int fd = fd_;
        fd_ = -1;
        savedValid_ = false;
        originalValid_ = false;
        // The lock goes with the descriptor. EINTR from close still closes it on Linux.
        if (::close(fd) != 0 && errno != EINTR) return fail(errno);
        return true;
    }

    bool isOpen() const override { return fd_ >= 0; }
    int lastOsError() const override {
        return error_ != 0 ? error_ : readError_.load(std::memory_order_relaxed);
    }

private:
    bool fail(int err) {
        error_ = err;
        return false;
    }
    // The kernel hangs a tty up when its device goes away: writes and ioctls then
    // give EIO, and in the moment before the hang-up ENODEV.
    void noteLoss(int err) {
        if (err == EIO || err == ENODEV) gone_.store(true, std::memory_order_release);
    }
    bool lost(int err) {
        noteLoss(err);
        return fail(err);
    }
    int readFailed(int err) {
        noteLoss(err);
        readError_.store(err, std::memory_order_relaxed);
        return -1;
    }
    void putBackLatency() {
#ifdef __linux__
        serial_struct info{};
        if (lowLatencySet_ && ::ioctl(fd_, TIOCGSERIAL, &info) == 0) {
            info.flags &= ~ASYNC_LOW_LATENCY;
            (void)::ioctl(fd_, TIOCSSERIAL, &info);
        }
#endif
        lowLatencySet_ = false;
    }
    // The line did not take the bytes in time: what is still queued goes, so that no
    // later write, drain or close waits for it.
    bool giveUpSending() {
        (void)::tcflush(fd_, TCOFLUSH);
        return fail(ETIMEDOUT);
    }
    // USB-serial drivers pass the adapter's refusal of a break on to the caller:
    // EIO from a short control transfer (ch341), EPIPE from a stalled one, ENOTTY
    // where the chip has no break. A hung-up tty gives EIO as well, so the code alone
    // does not tell a live adapter from a pulled one: the line itself is asked.
    bool breakOk(unsigned long request) {
        if (::ioctl(fd_, request) == 0) return true;
        const int err = errno;
        if (lineHungUp()) gone_.store(true, std::memory_order_release);
        return fail(err);
    }
    // A hung-up tty polls as POLLHUP (with POLLERR); a live one never does.
    bool lineHungUp() const {
        pollfd p{fd_, 0, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, 0);
        } while (ready < 0 && errno == EINTR);
        return ready > 0 && (p.revents & POLLHUP) != 0;
    }

    int fd_ = -1;
    int wake_[2] = {-1, -1};  // read end, write end
    termios current_{};
    termios original_{};
    termios saved_{};
    bool originalValid_ = false;
    bool savedValid_ = false;
    bool lowLatencySet_ = false;  // by requestLowLatency, for close to put back
    int error_ = 0;                     // main thread
    std::atomic<int> readError_{0};     // written by the watcher
    // Set by whichever thread finds the device gone (release), read by both (acquire);
    // cleared only by open, while no watcher reads.
    std::atomic<bool> gone_{false};
};

}  // namespace

std::unique_ptr<OsSerialPort> OsSerialPort::create() { return std::make_unique<PosixSerialPort>(); }

std::string OsSerialPort::devicePath(const std::string& portText) {
    // COMn, with or without the device-namespace prefix, is $ZBCOMM_DEVICE_DIR/COMn
    // when that folder is given (links to the real devices), else the n-th
    // built-in serial port.
    std::string name = portText;
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (const char* dir = std::getenv("ZBCOMM_DEVICE_DIR"); dir != nullptr && *dir != '\0') {
        return std::string(dir) + "/" + name;
    }
    const long n = std::strtol(name.c_str() + 3, nullptr, 10);
    return "/dev/ttyS" + std::to_string(n - 1);
}

}  // namespace zb
