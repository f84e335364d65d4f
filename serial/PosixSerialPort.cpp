// The serial port on POSIX systems, with termios.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "OsSerialPort.h"

namespace zb {

namespace {

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

class PosixSerialPort final : public OsSerialPort {
public:
    ~PosixSerialPort() override { close(); }

    bool open(const std::string& path) override {
        if (fd_ >= 0) return fail(EBUSY);
        // O_NONBLOCK only for the open itself: a port without carrier must not hang
        // it. Blocking mode with VMIN/VTIME is set right after.
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
        int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
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
        // Raw binary: no line editing, echo, signals, flow control by characters,
        // CR/NL translation or output processing.
        t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                            IXON | IXOFF | IXANY | INPCK);
        t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
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
        const tcflag_t frame = CSIZE | PARENB | PARODD | CSTOPB;
        if ((current_.c_cflag & frame) != (t.c_cflag & frame) || ::cfgetospeed(&current_) != speed ||
            (current_.c_lflag & ICANON) != 0) {
            return fail(EINVAL);
        }
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
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 1;  // tenths of a second: a read returns after 100 ms at most
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) return fail(errno);
        current_ = t;
        return true;
    }

    bool restoreTimeouts() override {
        // Everything this component changed goes back: line settings and time-outs.
        if (fd_ < 0 || !savedValid_) return false;
        if (::tcsetattr(fd_, TCSANOW, &saved_) != 0) return fail(errno);
        return true;
    }

    // Nothing waits for port events on POSIX systems.
    bool selectTransmitEmptyEvent() override { return true; }

    int readByte(std::uint8_t& byte) override {
        for (;;) {
            ssize_t n = ::read(fd_, &byte, 1);
            if (n == 1) return 1;
            if (n == 0) return 0;
            if (errno == EINTR) continue;
            readError_.store(errno, std::memory_order_relaxed);
            return -1;
        }
    }

    bool write(const std::uint8_t* bytes, std::size_t count, std::chrono::milliseconds /*limit*/) override {
        while (count > 0) {
            ssize_t n = ::write(fd_, bytes, count);
            if (n < 0) {
                if (errno == EINTR) continue;
                return fail(errno);
            }
            bytes += n;
            count -= static_cast<std::size_t>(n);
        }
        return true;
    }

    bool flush(std::chrono::milliseconds /*limit*/) override {
        while (::tcdrain(fd_) != 0) {
            if (errno != EINTR) return fail(errno);
        }
        return true;
    }

    bool discardInput() override { return ::tcflush(fd_, TCIFLUSH) == 0 || fail(errno); }
    bool discardOutput() override { return ::tcflush(fd_, TCOFLUSH) == 0 || fail(errno); }

    bool setBreak() override { return ioctlOk(TIOCSBRK); }
    bool clearBreak() override { return ioctlOk(TIOCCBRK); }

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
    bool ioctlOk(unsigned long request) {
        if (::ioctl(fd_, request) != 0) return fail(errno);
        return true;
    }

    int fd_ = -1;
    termios current_{};
    termios original_{};
    termios saved_{};
    bool originalValid_ = false;
    bool savedValid_ = false;
    int error_ = 0;                     // main thread
    std::atomic<int> readError_{0};     // written by the watcher
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
