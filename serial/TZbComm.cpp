#include "TZbComm.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

#include "CallEnd.h"
#include "PortNames.h"
#include "TRead.h"

namespace zb {

namespace {

constexpr std::size_t kReceiveQueueBytes = 32768;
constexpr std::size_t kTransmitQueueBytes = 9216;
// Beyond the bytes' own time on the line, a write (or a drain) may take this long
// before the line counts as held: the scale of the shortest reply time-outs, and far
// above what a driver needs to start sending.
constexpr std::chrono::milliseconds kWriteMargin{500};
// How long the port's close may take before it is left to the driver: some
// USB-serial drivers on Windows block CloseHandle after a write that timed out, and
// a Linux close waits for output that the line does not take (closing_wait).
constexpr std::chrono::milliseconds kCloseBound{2000};
constexpr const char* kLogFileName = "ZbComm.log";
constexpr std::size_t kReadRecordBytes = 8;

constexpr std::array<const char*, 10> kBaudRates = {"300",   "600",   "1200",  "2400",  "4800",
                                                    "9600",  "19200", "38400", "57600", "115200"};

std::uint32_t bitsPerCharacter(dataBits data, parity par, stopBits stop) {
    const std::uint32_t dataCount = 5 + static_cast<std::uint32_t>(data);
    const std::uint32_t parityCount = par == parity::prNone ? 0 : 1;
    const std::uint32_t stopCount = stop == stopBits::SB1 ? 1 : 2;  // 1.5 rounds up
    return 1 + dataCount + parityCount + stopCount;
}

// Runs `act` on a thread of its own and waits at most `bound` for it: its result,
// or nothing when it is still running (it then goes on alone, with what it owns).
std::optional<bool> runWithin(const std::function<bool()>& act, std::chrono::milliseconds bound) {
    auto end = std::make_shared<CallEnd>();
    try {
        std::thread([end, act] { end->report(act()); }).detach();
    } catch (const std::system_error&) {
        return act();  // no thread to be had: here, without a bound
    }
    return end->waitFor(bound);
}

}  // namespace

TZbComm::TZbComm(MainThread& owner) : main_(owner), port_(OsSerialPort::create()) {}

TZbComm::~TZbComm() { KillComm(); }

int ComPortNumber(const std::string& text) {
    if (text.size() < 4 || text.size() > 6) return 0;
    if (text.compare(0, 3, "COM") != 0) return 0;
    // The whole rest is the decimal number: "COM3x", "COM 3" or "COM+3" is no port
    // name. Leading zeros count for nothing ("COM03" is port 3).
    int n = 0;
    for (std::size_t i = 3; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        n = n * 10 + (text[i] - '0');
    }
    return n >= 1 && n <= 256 ? n : 0;
}

void TZbComm::SetPortNumber(const std::string& text) {
    if (const int n = ComPortNumber(text); n != 0) {
        portText_ = text;
        nativeName_ = false;
        directNumber_ = static_cast<std::uint8_t>(n - 1);
        // Ports from COM10 on are reached through the device namespace only.
        if (directNumber_ > 8) portText_ = "\\\\.\\" + portText_;
        return;
    }
    if (IsNativePortName(text)) {
        portText_ = text;
        nativeName_ = true;
        return;
    }
    // A refused name must not leave an earlier port in force: that would act on a
    // device the caller did not name.
    portText_.clear();
    nativeName_ = false;
}

void TZbComm::SetBaudRate(const std::string& text) {
    for (const char* rate : kBaudRates) {
        if (text == rate) {
            baudText_ = text;
            return;
        }
    }
}

void TZbComm::SetLogState(bool value) {
    closeLog();
    logState_ = value;
    if (value) log_ = std::fopen(kLogFileName, "wb");  // failure: no log, nothing said
}

void TZbComm::closeLog() {
    if (log_ != nullptr) {
        std::fclose(log_);
        log_ = nullptr;
    }
}

bool TZbComm::failOpen(std::uint8_t code) {
    lastError_ = code;
    openFailure_ = DescribeOpenError(port_->lastOsError());
    (void)closePort(false);
    return false;
}

bool TZbComm::closePort(bool lastOfWatcher) {
    // A close that the driver holds is held on another thread, and nothing here
    // waits past the bound for it: left to the driver, the port goes with it, and
    // the next open gets a new one. A failed close would show a message box that an
    // unattended run waits on, so a held one counts as done.
    std::shared_ptr<OsSerialPort> port = port_;
    auto close = [port] { return port->close(); };
    std::optional<bool> closed;
    if (lastOfWatcher && watcher_) {
        // The shut-down: the watcher's thread closes as its last act, so no thread
        // is made for it.
        closed = watcher_->RunLast(close, kCloseBound);
        watcher_.reset();
    } else {
        closed = runWithin(close, kCloseBound);
    }
    if (closed) return *closed;
    port_ = OsSerialPort::create();
    if (watcher_) watcher_->setPort(port_.get());  // paused: it reads no more from the old one
    return true;
}

bool TZbComm::refuseOpen(const std::string& reason) {
    lastError_ = kErrOpenDevice;
    openFailure_ = reason;
    return false;
}

bool TZbComm::OpenComm() {
    if (open_) {
        lastError_ = kErrAlreadyOpen;
        return false;
    }
    openPath_.clear();
    openFailure_.clear();
    if (portText_.empty()) return refuseOpen("not a port name");
    openPath_ = nativeName_ ? portText_ : OsSerialPort::devicePath(portText_);
    // A native name can reach any device node, and opening some of them has effects
    // of its own (a watchdog is armed by its open): only a serial line is opened.
    if (int err = 0; nativeName_ && !IsSerialLine(openPath_, err)) return refuseOpen(DescribeOpenError(err));
    if (!port_->open(openPath_)) return refuseOpen(DescribeOpenError(port_->lastOsError()));
    if (!port_->readLineSettings()) return failOpen(kErrGetLineSettings);
    LineSettings settings;
    settings.baud = std::strtol(baudText_.c_str(), nullptr, 10);
    settings.data = dataBits_;
    settings.par = parity_;
    settings.stop = stopBits_;
    if (!port_->writeLineSettings(settings)) return failOpen(kErrSetLineSettings);
    if (!port_->setQueueSizes(kReceiveQueueBytes, kTransmitQueueBytes)) return failOpen(kErrQueueSizes);
    if (!port_->saveTimeouts()) return failOpen(kErrGetTimeouts);
    if (!port_->setWorkingTimeouts()) return failOpen(kErrSetTimeouts);
    // A USB adapter that collects bytes for its latency timer (16 ms on FTDI chips)
    // holds every short reply that long.
    port_->requestLowLatency();
    if (!watcher_) {
        watcher_ = std::make_unique<TRead>(true, port_.get(), this, main_);
    } else {
        watcher_->setPort(port_.get());
    }
    watcher_->Resume();
    lineBaud_ = settings.baud;
    openBits_ = bitsPerCharacter(dataBits_, parity_, stopBits_);
    open_ = true;
    port_->selectTransmitEmptyEvent();  // its result does not matter
    return true;
}

bool TZbComm::CloseComm() {
    if (!open_) {
        lastError_ = kErrNotOpenClose;
        return false;
    }
    closeLog();
    if (watcher_) watcher_->Suspend();
    // The settings stay for the next OpenComm; the close must not wait for output.
    SettleOutput();
    if (!closePort(false)) {
        main_.showMessage("Ich kann COMM nicht schließen!", "Fehler");
        lastError_ = kErrClose;
        return false;
    }
    open_ = false;
    return true;
}

void TZbComm::KillComm() {
    closeLog();
    if (watcher_) {
        // Told to stop, the watcher ends its read under way at once, and a watcher
        // waiting for the main thread gives that wait up, so waiting for it to leave
        // its cycle without a limit cannot deadlock. The port is closed only after
        // that: no read ever runs on a closed (or reused) descriptor.
        watcher_->Stop();
        if (open_) {
            releaseLine();
            (void)closePort(true);
        }
        watcher_.reset();
    }
    open_ = false;
}

bool TZbComm::ApplyBaudRate() {
    if (!open_) {
        lastError_ = kErrNotOpen;
        return false;
    }
    const long baud = std::strtol(baudText_.c_str(), nullptr, 10);
    if (baud == lineBaud_) return true;
    SettleOutput();
    if (!port_->setSpeed(baud)) return false;
    lineBaud_ = baud;
    return true;
}

bool TZbComm::SettleOutput() {
    if (!port_->isOpen()) return false;
    // Neither the break nor the close may wait without a deadline for output that a
    // held line never sends: the kernel's own waits have none (break) or 30 s (close).
    // What is still queued gets its line time; what is left after that goes.
    (void)port_->flush(sendLimit(port_->queuedOutput()));
    return port_->discardOutput();
}

void TZbComm::releaseLine() {
    // The settings go back only after the discard: an earlier program's CTS/RTS
    // handshake, put back first, would hold the queued bytes and the close with them.
    SettleOutput();
    (void)port_->restoreSettings();
}

std::chrono::milliseconds TZbComm::sendLimit(std::size_t bytes) const {
    const long baud = lineBaud_ > 0 ? lineBaud_ : 300;
    const std::uint64_t bits = static_cast<std::uint64_t>(bytes) * openBits_;
    const std::uint64_t lineMs = (bits * 1000 + static_cast<std::uint64_t>(baud) - 1) / static_cast<std::uint64_t>(baud);
    return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(lineMs)) + kWriteMargin;
}

bool TZbComm::WriteComm(const std::uint8_t* bytes, std::int32_t count) {
    if (!open_) {
        lastError_ = kErrNotOpen;
        return false;
    }
    if (count < 0) count = 0;
    if (log_ != nullptr) {
        std::fwrite("W-", 1, 2, log_);
        std::fwrite(bytes, 1, static_cast<std::size_t>(count), log_);
        std::fputc('\n', log_);
    }
    const auto size = static_cast<std::size_t>(count);
    return port_->write(bytes, size, sendLimit(size));
}

bool TZbComm::DiscardInput() {
    if (!open_) {
        lastError_ = kErrNotOpen;
        return false;
    }
    watcher_->disarm();
    watcher_->discardReceived();
    return port_->discardInput();
}

bool TZbComm::ReadComm(std::uint8_t* destination, std::int32_t count) {
    if (!open_) {
        lastError_ = kErrNotOpen;
        return false;
    }
    readDestination_ = destination;
    watcher_->arm(destination, count);
    return true;
}

bool TZbComm::GetReadState() const { return watcher_ && watcher_->armed(); }

std::int32_t TZbComm::ReceivedCount() const { return watcher_ ? watcher_->received() : 0; }

void TZbComm::StopReading() {
    if (watcher_) watcher_->disarm();
}

bool TZbComm::HandOverCompletedBy(std::chrono::steady_clock::time_point deadline) {
    return watcher_ && watcher_->handOverCompletedBy(deadline);
}

std::chrono::steady_clock::time_point TZbComm::CompletedAt() const {
    return watcher_ ? watcher_->completedAt() : std::chrono::steady_clock::time_point{};
}

void TZbComm::CatchUp(std::chrono::steady_clock::time_point deadline) {
    if (watcher_) watcher_->catchUp(deadline);
}

std::int32_t TZbComm::StoredCount() const { return watcher_ ? watcher_->stored() : 0; }

void TZbComm::DataReady() {
    if (log_ != nullptr && readDestination_ != nullptr) {
        std::fwrite("R-", 1, 2, log_);
        std::fwrite(readDestination_, 1, kReadRecordBytes, log_);
        std::fputc('\n', log_);
    }
    if (OnDataReady) OnDataReady(this);
}

void TZbComm::ReportDeviceGone() {
    if (OnDeviceGone) OnDeviceGone(this);
}

bool TZbComm::DeviceGone() const { return open_ && port_->deviceGone(); }

void TZbComm::OnTrans() {
    if (OnDataSended) OnDataSended(this);
}

bool TZbComm::WaitForEndOfTransmission(std::int32_t /*value*/) {
    if (!open_) {
        lastError_ = kErrNotOpen;
        return false;
    }
    // Writes return when the driver has the bytes; what it still holds leaves within
    // the time of a full transmit queue, or the line is held and it is dropped.
    return port_->flush(sendLimit(kTransmitQueueBytes));
}

bool TZbComm::FlushWriteBuffer() {
    if (!open_) {
        lastError_ = kErrNotOpen;
        return false;
    }
    return port_->flush(sendLimit(kTransmitQueueBytes));
}

bool TZbComm::EscapeComm(std::uint32_t code) { return port_->isOpen() && port_->escape(code); }
bool TZbComm::SetBreak() {
    if (!port_->isOpen()) return false;
    // When the break comes, the last command has long been answered: nothing that
    // is still queued matters.
    SettleOutput();
    return port_->setBreak();
}
bool TZbComm::ClearBreak() { return port_->isOpen() && port_->clearBreak(); }

std::uint8_t TZbComm::GetLastError() {
    const std::uint8_t code = lastError_;
    lastError_ = kErrNone;
    return code;
}

int TZbComm::LastOsError() const { return port_->lastOsError(); }

}  // namespace zb
