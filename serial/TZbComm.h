// TZbComm: one serial port with fixed line settings, its receive watcher and its
// optional traffic log "ZbComm.log".
//
// Threads: every member is called on the main thread. The receive watcher (TRead)
// runs on its own thread; it stores received bytes into the destination given to
// ReadComm and, when the count is reached, runs DataReady on the main thread (posted
// through MainThread) and waits until it has run. At the shut-down its thread makes the
// port's close, as its last act.
//
// Failures are reported by the truth value of a call and kept as a small last-error
// code (see GetLastError); the platform's own error number is kept beside it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "MainThread.h"
#include "OsSerialPort.h"

namespace zb {

class TRead;
class TZbComm;

using TNotifyEvent = std::function<void(TZbComm* sender)>;

// Last-error codes.
enum : std::uint8_t {
    kErrNone = 0,
    kErrAlreadyOpen = 1,
    kErrOpenDevice = 2,
    kErrGetTimeouts = 3,
    kErrSetTimeouts = 4,
    kErrGetLineSettings = 5,
    kErrSetLineSettings = 6,
    kErrNotOpenClose = 7,
    kErrNotOpen = 8,
    kErrQueueSizes = 9,
    kErrClose = 10,
};

// The port number of a name of the traditional rule: "COM" (upper case) and the
// decimal number 1 to 256 as the whole rest ("COM03" is port 3); 0 for any other text.
int ComPortNumber(const std::string& text);

class TZbComm {
public:
    // `owner` is the main thread that DataReady and the message box run on.
    explicit TZbComm(MainThread& owner);
    ~TZbComm();
    TZbComm(const TZbComm&) = delete;
    TZbComm& operator=(const TZbComm&) = delete;

    // Published events.
    TNotifyEvent OnDataReady;
    TNotifyEvent OnDataSended;
    // Raised on the main thread, once for an open port, when the watcher finds the
    // device gone (a USB adapter pulled). The reception armed then never completes.
    TNotifyEvent OnDeviceGone;

    // Published properties.
    // The port text: "COMn" (stored as "\\.\COMn" from COM10 on), or a native
    // device name of the platform (PortNames.h), kept as given. A text that is
    // neither leaves no port: PortNumber reads "" and OpenComm fails until an
    // accepted text is set.
    const std::string& PortNumber() const { return portText_; }
    void SetPortNumber(const std::string& text);
    const std::string& BaudRate() const { return baudText_; }
    void SetBaudRate(const std::string& text);
    dataBits DataBits() const { return dataBits_; }
    void SetDataBits(dataBits value) { dataBits_ = value; }
    parity Parity() const { return parity_; }
    void SetParity(parity value) { parity_ = value; }
    stopBits StopBits() const { return stopBits_; }
    void SetStopBits(stopBits value) { stopBits_ = value; }
    bool ReadState() const { return GetReadState(); }
    bool LogState() const { return logState_; }
    void SetLogState(bool value);

    bool OpenComm();
    // Closes the port and keeps its settings and the paused watcher for the next
    // OpenComm. Output still queued is drained within its line time and dropped.
    bool CloseComm();
    // Shuts the port down: ends the watcher, drains and drops queued output, puts
    // back the line settings and time-outs found at open, closes.
    // The close runs on the watcher's thread, as its last act, and is waited for at
    // most 2 s (as is every close): one that the driver holds longer is left to it.
    void KillComm();
    // Sends the bytes, waiting at most their time on the line at the speed in force
    // plus a margin. When the line does not take them in time (a held flow-control
    // line, a stalled adapter) the call fails and what is still queued is dropped.
    bool WriteComm(const std::uint8_t* bytes, std::int32_t count);
    // Arms the watcher to receive exactly `count` (>= 1) bytes into `destination`,
    // which must hold count + 1 bytes (a zero byte is stored after the last byte
    // received) and at least 8 bytes (the traffic log copies 8). Returns at once.
    bool ReadComm(std::uint8_t* destination, std::int32_t count);
    bool GetReadState() const;
    // Bytes stored so far by the armed reception (0 when it has completed).
    std::int32_t ReceivedCount() const;
    void StopReading();
    // The main thread may come to a wait's time-out late, after the reception armed
    // for it completed. When a reception completed at or before `deadline` and its
    // hand-over has not run, DataReady runs for it now; true when it did. A reception
    // that was stopped or replaced is never handed over.
    bool HandOverCompletedBy(std::chrono::steady_clock::time_point deadline);
    // While DataReady runs: when the reception it reports completed.
    std::chrono::steady_clock::time_point CompletedAt() const;
    // At a wait's time-out: the watcher takes at once what the port holds for the
    // armed reception, as received by `deadline`, so that a reply that lay in the
    // port while the program was held up ends its wait. Waits a few milliseconds at
    // most (TRead::catchUp).
    void CatchUp(std::chrono::steady_clock::time_point deadline);
    // Bytes stored by the latest reception since ReadComm, also once it completed or
    // was stopped.
    std::int32_t StoredCount() const;
    // Drops everything received that no reception has taken yet: the driver's input
    // queue and a byte the watcher holds over from a given-up reception. Stops an
    // armed reception first, as StopReading does. Returns at once; a reply to a
    // command sent after this is only what arrives after it.
    bool DiscardInput();
    // Run by the watcher on the main thread when a reception completes.
    void DataReady();
    // Run by the watcher on the main thread when it found the device gone.
    void ReportDeviceGone();
    // The open port's device has gone (its adapter was pulled, the line hung up),
    // as a read, a write or a control call found: every later call fails at once.
    // Never for a reply that has not come yet. Until the next OpenComm.
    bool DeviceGone() const;
    void OnTrans();
    bool WaitForEndOfTransmission(std::int32_t value);
    bool FlushWriteBuffer();
    bool EscapeComm(std::uint32_t code);
    // Drains what is still queued for sending (bounded by its line time plus the
    // margin), discards the rest, then holds the line in break.
    bool SetBreak();
    bool ClearBreak();
    // Returns the last error code and resets it to 0.
    std::uint8_t GetLastError();
    bool GetOpenState() const { return open_; }
    // The line speed in force, in baud: BaudRate at the last successful OpenComm or
    // ApplyBaudRate (storing another BaudRate alone does not change it); 0 before the
    // first open. Write limits and drains follow it.
    long LineBaudRate() const { return lineBaud_; }
    // Puts BaudRate in force on the open port, in place: the port is not closed, so
    // it stays exclusively ours. Output still queued is dropped first (it would leave
    // at the wrong speed), so call it when the line is quiet.
    bool ApplyBaudRate();
    std::uint8_t GetDirectNumber() const { return directNumber_; }
    // errno (or the platform's code) of the last failed operating-system call.
    int LastOsError() const;
    // Why the last OpenComm failed: the device path it tried ("" when the port text
    // was refused and nothing was tried) and the reason in words ("" after a
    // successful open).
    const std::string& OpenPath() const { return openPath_; }
    const std::string& OpenFailure() const { return openFailure_; }

private:
    void closeLog();
    bool failOpen(std::uint8_t code);
    // Closes the port, waiting at most kCloseBound (see TZbComm.cpp). With
    // `lastOfWatcher`, on the stopped watcher's thread, which then ends; otherwise on
    // a thread of its own, and a paused watcher stays.
    bool closePort(bool lastOfWatcher);
    // Before the last close: SettleOutput, then the settings found at open go back.
    void releaseLine();
    bool refuseOpen(const std::string& reason);
    // Output still queued gets a bounded drain (its line time at the speed in force
    // plus the margin), then what is left is discarded. False when the port is not
    // open.
    bool SettleOutput();
    // How long `bytes` may take to leave: their line time at the speed in force plus
    // the margin.
    std::chrono::milliseconds sendLimit(std::size_t bytes) const;

    MainThread& main_;
    std::unique_ptr<TRead> watcher_;
    std::shared_ptr<OsSerialPort> port_;  // shared with a close left to the driver
    bool open_ = false;
    bool logState_ = false;
    std::uint8_t directNumber_ = 0;
    stopBits stopBits_ = stopBits::SB1;
    parity parity_ = parity::prNone;
    dataBits dataBits_ = dataBits::DB8;
    std::string baudText_ = "4800";
    std::string portText_ = "COM1";
    bool nativeName_ = false;  // portText_ is the platform's own device name
    std::string openPath_;
    std::string openFailure_;
    const std::uint8_t* readDestination_ = nullptr;
    std::uint8_t lastError_ = kErrNone;
    long lineBaud_ = 0;
    std::uint32_t openBits_ = 10;  // bits per character on the line at the last open
    std::FILE* log_ = nullptr;
};

}  // namespace zb
