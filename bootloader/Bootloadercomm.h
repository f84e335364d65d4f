// ZbBootloader: the connection to the device. It owns the serial port component and
// a one-shot time-out timer, opens the port by name, keeps the port state, exchanges
// bootloader frames and short frames with the device, and waits for replies by
// letting the main thread process its events until the expected bytes have arrived
// or the timer has fired.
//
// Everything here runs on the main thread. The waits process events, so timer and
// data-ready events (and window repaints) are handled while a wait runs.
//
// A wait ends by what happened on the line before its deadline, not by when the main
// thread got to it: a reception that completed before the deadline ends the wait as
// data even when the main thread runs the time-out first (it was held in a modal
// loop, say), and one that completed after it ends nothing. At the time-out the
// watcher first takes what the port holds: a program that was held up (stopped,
// suspended, starved) past the deadline finds there the reply that came meanwhile,
// and counts it as in time (TRead says how a held-up watcher stamps what it reads).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "Crc.h"
#include "MainThread.h"
#include "OneShotTimer.h"
#include "TZbComm.h"
#include "WindowSurface.h"

namespace zb {

// Bytes of the bootloader frame format.
inline constexpr std::uint8_t kStx = 0x0F;
inline constexpr std::uint8_t kEtx = 0x04;
inline constexpr std::uint8_t kDle = 0x05;

// The largest frame built, a write of 56 rows with every byte escaped.
inline constexpr std::size_t kSendBufferSize = 7186;
// Reply search scans 4096 bytes; the receive watcher stores a zero byte behind the
// last byte it receives.
inline constexpr std::size_t kReplySearchLength = 4096;
inline constexpr std::size_t kReceiveBufferSize = kReplySearchLength + 1;

// Time-outs of the exchanges, in milliseconds of the time-out timer.
inline constexpr std::uint32_t kPortOpenMs = 10;
inline constexpr std::uint32_t kDiscardMs = 10;
inline constexpr std::uint32_t kSyncEchoMs = 100;
inline constexpr std::uint32_t kShortReplyMs = 1000;
inline constexpr std::uint32_t kBreakMs = 1000;
inline constexpr std::uint32_t kInfoMs = 50;
inline constexpr std::uint32_t kEraseMs = 1500;
inline constexpr std::uint32_t kWriteMs = 2500;

struct CommStat {
    std::string PortName;
    std::string BaudRate;
    bool Open = false;
    bool Discard = false;
    bool TimedOut = false;
    bool DataReceived = false;
    bool HeaderStage = false;
    std::uint8_t LastCrc8 = 0;
    std::uint8_t TimeOutCount = 0;
};

class ZbBootloader {
public:
    // `main` runs the waits and the timer; `owner` is the main window (result, status
    // panel 1, gauge).
    ZbBootloader(MainThread& main, MainWindowSurface& owner);
    ~ZbBootloader();
    ZbBootloader(const ZbBootloader&) = delete;
    ZbBootloader& operator=(const ZbBootloader&) = delete;

    // Wiring by the main window.
    InfoList* InfoBox = nullptr;
    void setStatusTarget(TextTarget* text) { StatusText = text; }
    void setSendBuffer(std::uint8_t* buffer) { SendBuf = buffer; }
    void setReceiveBuffer(std::uint8_t* buffer) { RecvBuf = buffer; }

    // Port handling.
    void setPortNumber(const std::string& name);
    void setBaudRate(const std::string& text);
    CommStat getCommStat() const { return Stat; }
    // The faster line speed ("38400", "57600" or "115200") that activation puts in
    // force after the break, for synchronisation, information, erase and write;
    // empty for none: everything then runs at the speed the port was opened with.
    void setFastBaudRate(const std::string& text) { FastBaudRate = text; }
    const std::string& fastBaudRate() const { return FastBaudRate; }
    void setRawMode(bool on) { RawReplies = on; }

    // Output.
    void logLine(const std::string& text);

    // Starts a wait's time-out and arms the wait: its flags are cleared here, not when
    // waitForData is entered, so that events handled in between (the window's, say)
    // can never erase what the time-out or the reply has already set.
    void startTimer(std::uint32_t milliseconds) {
        Stat.TimedOut = false;
        Stat.DataReceived = false;
        Timer->setInterval(milliseconds);
    }
    // The same, for a wait that ends at `deadline`: at once when that has passed,
    // and then only what the port holds counts.
    void startTimerUntil(std::chrono::steady_clock::time_point deadline) {
        Stat.TimedOut = false;
        Stat.DataReceived = false;
        Timer->setDeadline(deadline);
    }
    // Waits until the armed read completes (true) or the timer ends the wait (false);
    // the wait was armed when its timer started. Once the device has gone, every
    // wait ends at once as a time-out.
    bool waitForData();
    // The port's device has gone (a USB adapter pulled). The first time it is seen,
    // one line names the port and says so.
    bool deviceGone();

    // Event handlers, run on the main thread.
    void timeOutTimer();
    void commDataReady(TZbComm* sender);
    // The device went away during a wait: the wait ends now, as a time-out would end it.
    void commDeviceGone(TZbComm* sender);

    // Frames and exchange.
    std::uint16_t frameCrc();
    void escapeFrame(std::int32_t length);
    bool findFrame();
    void unescapeReply();
    bool replyCrcOk();
    bool checkReply(std::uint8_t command);
    // The last frame in RecvBuf[0, received) that ends with an ETX there, passes its
    // CRC-16 and carries, unescaped, at least `fields` bytes between its STX and its
    // CRC. Every STX is tried as a frame start, so bytes before a reply (noise, the
    // tail of an earlier one, a stray ETX or DLE) never hide it. Reads only.
    enum class FrameSearch {
        None,   // no frame ends within the bytes
        Bad,    // frames end there, but none passes its CRC or is long enough
        Found,  // [start, end]: STX to ETX, still escaped
    };
    struct FoundFrame {
        FrameSearch result = FrameSearch::None;
        std::int32_t start = 0;
        std::int32_t end = 0;
    };
    FoundFrame findCheckedFrame(std::int32_t received, std::int32_t fields) const;
    bool waitForReplyEnd(std::int32_t endIndex);
    // False when the line did not take the command.
    bool sendShortCommand(std::uint8_t code);
    void discardInput();

    // Activation, information, erase and write.
    bool probeDevice();
    bool activateBootloader(bool resetFirst);
    bool establishBaudRate();
    // Holds the line in break for one timer period, back at 19200 baud, with nothing
    // left queued in either direction.
    void holdBreak();
    // The driver refused to `what` (send a break, end it): one line for the run,
    // saying what follows (`next`); none when the device has gone.
    void sayBreakRefused(const char* what, const char* next);
    bool getBootloaderInfo();
    bool eraseFlash();
    bool eraseBlock(std::uint32_t address, std::uint8_t rows);
    bool writeFlash(std::uint8_t* image);
    bool writeBlock(std::uint32_t address, std::uint8_t rows, const std::uint8_t* data);

    // For tests and tools.
    TZbComm& comm() { return *Comm; }
    std::uint32_t bootStart() const { return BootStart; }
    std::uint32_t timerInterval() const { return Timer->interval(); }

private:
    // Formats into Text, cutting what does not fit, and returns it.
    const char* formatText(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void showPortState(const char* format);
    void stopTimer() { Timer->setInterval(0); }
    void shortFrameStage();
    // Writes the command frame in SendBuf (FrameLength bytes). When the line does not
    // take it, stops the timer and the armed read and returns false.
    bool sendCommand();
    // Arms the two-stage reception of a short-frame reply and waits for it.
    bool receiveShortReply();
    // Waits for the information reply armed at RecvBuf and returns the checked frame
    // among the bytes this query received; `deadline` is the end of the query's time.
    FoundFrame receiveInfoReply(std::chrono::steady_clock::time_point deadline);
    // Builds a command frame with an address in SendBuf, with CRC, ETX and escapes;
    // FrameLength is then the number of bytes to send.
    void buildAddressFrame(std::uint8_t command, std::uint32_t address, std::uint8_t rows,
                           const std::uint8_t* data, std::int32_t dataLength);

    MainThread& Main;
    MainWindowSurface& Owner;
    std::unique_ptr<OneShotTimer> Timer;
    std::unique_ptr<TZbComm> Comm;
    CommStat Stat;
    std::uint8_t* SendBuf = nullptr;
    std::uint8_t* RecvBuf = nullptr;
    Crc16 Crc16Acc;
    Crc8 Crc8Acc;
    TextTarget* StatusText = nullptr;
    char Text[260] = {};
    std::int32_t FrameStart = 0;
    std::int32_t FrameEnd = 0;
    std::int32_t FrameLength = 0;
    std::uint32_t BootStart = 0;
    std::uint16_t RowSize = 0;
    std::uint16_t RowsLeft = 0;
    std::uint32_t EraseAddress = 0;
    bool RawReplies = false;
    bool GoneSaid = false;  // the device-gone line was written
    bool BreakRefusalSaid = false;  // a refused break was said, once for the run
    std::string FastBaudRate;
};

}  // namespace zb
