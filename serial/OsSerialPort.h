// The operating system's side of a serial port: the few calls that differ between
// platforms. One implementation file per platform (PosixSerialPort.cpp,
// Win32SerialPort.cpp); the build picks it. Everything else about the port is portable and lives in TZbComm.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zb {

enum class dataBits : std::uint8_t { DB5, DB6, DB7, DB8 };
enum class parity : std::uint8_t { prNone, prOdd, prEven };
enum class stopBits : std::uint8_t { SB1, SB1_5, SB2 };

struct LineSettings {
    long baud = 4800;
    dataBits data = dataBits::DB8;
    parity par = parity::prNone;
    stopBits stop = stopBits::SB1;
};

class OsSerialPort {
public:
    // Creates the platform's implementation, with no device open.
    static std::unique_ptr<OsSerialPort> create();

    // The device path that a port text (as stored by TZbComm, "COM3" or "\\.\COM12")
    // opens on this platform.
    static std::string devicePath(const std::string& portText);

    virtual ~OsSerialPort() = default;

    // Opens an existing device for reading and writing, exclusively: a second opener
    // fails. Never creates a file.
    virtual bool open(const std::string& path) = 0;
    // Reads the device's current line settings and keeps them for writeLineSettings.
    virtual bool readLineSettings() = 0;
    // Writes back the settings read, in raw binary mode with these values replaced
    // and every flow control off: the protocol has no handshake, and a line left
    // with one (by a terminal program, say) would never send on a three-wire cable.
    // The modem lines keep their levels.
    virtual bool writeLineSettings(const LineSettings& settings) = 0;
    // Changes the line speed of the open port in place, everything else as it is:
    // the port stays open and ours. Takes effect at once (queued output is not
    // waited for).
    virtual bool setSpeed(long baud) = 0;
    virtual bool setQueueSizes(std::size_t receive, std::size_t transmit) = 0;
    // Saves the read time-outs in force, to be put back by restoreSettings.
    virtual bool saveTimeouts() = 0;
    // A read then returns as soon as bytes arrive (see read), or after 100 ms.
    virtual bool setWorkingTimeouts() = 0;
    // Puts back the line settings and time-outs that readLineSettings and
    // saveTimeouts found, handshake included. Returns at once: it never waits for
    // queued output, so discard that first when it may not leave.
    virtual bool restoreSettings() = 0;
    virtual bool selectTransmitEmptyEvent() = 0;

    // Reads at most `max` bytes (at least 1) into `bytes`. Waits for the first byte
    // at most the working time-out (100 ms), then returns what has arrived: at once
    // (POSIX), or once `max` bytes are there or the line has been quiet for the read
    // interval (Windows, 2 ms). Returns the count, 0 when nothing came before the
    // time-out or an interruption, -1 on a read error (a closed or unplugged port;
    // deviceGone tells which). Bytes beyond `max` stay queued. Called by the receive
    // watcher only, never concurrently with open or close.
    virtual int read(std::uint8_t* bytes, std::size_t max) = 0;
    // Any thread. True from the moment a call found the device itself gone (a USB
    // adapter pulled: the line hung up, the handle dead) until the next open; never
    // for a byte that has not come yet. Every later call on the port fails at once.
    virtual bool deviceGone() const = 0;
    // Asks the driver to hand received bytes on at once rather than collecting them
    // (a USB adapter's latency timer); put back by close. Nothing changes, and
    // nothing is said, where the driver or the user's rights do not allow it.
    virtual void requestLowLatency() = 0;
    // Any thread. Makes a read under way return at once, with the bytes it had taken
    // (mostly none); when none is under way, the next one may return 0 at once
    // instead. Never blocks.
    virtual void interruptRead() = 0;
    // Sends all bytes, waiting at most `limit` for the line to take them. Returns
    // false when the device refused them or the line did not take them in time (a
    // held flow-control line, a stalled adapter); what is still queued for sending
    // is then discarded, so that no later write, close or exit blocks on it.
    virtual bool write(const std::uint8_t* bytes, std::size_t count, std::chrono::milliseconds limit) = 0;
    // Waits until everything written has left the driver, at most `limit`; on the
    // limit what is still queued is discarded and the call fails. A bounded call
    // returns as soon as the driver's transmit queue is seen empty.
    virtual bool flush(std::chrono::milliseconds limit) = 0;
    // Bytes written that the driver still holds for the line; 0 when it cannot tell.
    virtual std::size_t queuedOutput() = 0;
    // Bytes received that the driver holds for the next read; 0 when it cannot tell.
    // Any thread; never blocks.
    virtual std::size_t queuedInput() = 0;
    // Drops every received byte that has not been read yet; returns at once.
    virtual bool discardInput() = 0;
    // Drops every byte queued for sending that has not left yet; returns at once.
    virtual bool discardOutput() = 0;
    // The break waits, in the driver, until the transmit queue is empty, without a
    // limit: callers drain and discard the queue first (TZbComm::SetBreak does).
    virtual bool setBreak() = 0;
    virtual bool clearBreak() = 0;
    // The extended functions of EscapeComm, by their traditional codes.
    virtual bool escape(std::uint32_t code) = 0;
    // Closing may wait, in the driver, for queued output (Linux: up to the port's
    // closing_wait, 30 s by default), and some Windows drivers hold it after a write
    // that timed out: callers discard the output first and bound the wait (TZbComm
    // closes on another thread). Any thread, with no read under way.
    virtual bool close() = 0;
    virtual bool isOpen() const = 0;
    // The operating system's error of the last failed call (errno on POSIX).
    virtual int lastOsError() const = 0;
};

// Function codes of EscapeComm.
inline constexpr std::uint32_t SETXOFF = 1;
inline constexpr std::uint32_t SETXON = 2;
inline constexpr std::uint32_t SETRTS = 3;
inline constexpr std::uint32_t CLRRTS = 4;
inline constexpr std::uint32_t SETDTR = 5;
inline constexpr std::uint32_t CLRDTR = 6;
inline constexpr std::uint32_t RESETDEV = 7;
inline constexpr std::uint32_t SETBREAK = 8;
inline constexpr std::uint32_t CLRBREAK = 9;

}  // namespace zb
