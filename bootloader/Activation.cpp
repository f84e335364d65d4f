// Bringing the device into its bootloader: probe the application firmware, have it
// reset, hold the line in break for one timer period, then synchronise on the
// bootloader's echo of STX and read its information.
#include "Bootloadercomm.h"
#include "PortNames.h"

namespace zb {

namespace {

// Short commands understood by the application firmware.
constexpr std::uint8_t kProbeCode = 0x81;
constexpr std::uint8_t kResetCode = 0x93;
constexpr int kSyncAttempts = 5;

}  // namespace

bool ZbBootloader::probeDevice() {
    discardInput();
    // A probe the line does not take is a probe nobody answers.
    if (!sendShortCommand(kProbeCode)) return false;
    return receiveShortReply();
}

bool ZbBootloader::activateBootloader(bool resetFirst) {
    logLine("activateBootloader");
    if (!Stat.Open) {
        Owner.ReportResult("I can't open COM-port");
        Main.requestTermination();
    }
    if (Main.terminationRequested()) return false;

    if (resetFirst) {
        if (!sendShortCommand(kResetCode) || !receiveShortReply()) {
            (void)deviceGone();  // says so, once, when that is why
            Owner.ReportResult("Orvix V4 reset error");
            Comm->KillComm();
            Main.requestTermination();
        }
    }
    if (Main.terminationRequested()) return false;

    // From here on the bootloader answers, and its replies are taken as raw bytes.
    RawReplies = true;

    holdBreak();
    if (FastBaudRate.empty()) {
        // Only stored: the open port keeps the speed it was opened with, and the
        // synchronisation below runs at that speed.
        setBaudRate("57600");
        logLine("ClearBreak");
    } else {
        // The bootloader takes the speed of the synchronisation byte: the line
        // changes in place, before that byte.
        setBaudRate(FastBaudRate);
        const bool applied = Comm->ApplyBaudRate();
        logLine("ClearBreak");
        if (!applied) return false;
        logLine(formatText("Line speed %s baud", FastBaudRate.c_str()));
    }

    if (!establishBaudRate()) {
        // A device that has gone answers no second attempt either.
        if (deviceGone()) return false;
        logLine("Repeat establishBaudRate");
        if (!establishBaudRate()) return false;
    }
    return getBootloaderInfo();
}

void ZbBootloader::holdBreak() {
    // Always in this order: what is still queued gets its line time and then goes
    // (the break would wait for it without limit), the line returns to the
    // application firmware's speed, what was received at another speed goes, and
    // only then the break. The speed change and the break each settle the output
    // first themselves.
    setBaudRate("19200");
    Comm->ApplyBaudRate();
    Comm->DiscardInput();
    // No read is armed, so only the timer ends this wait: the break lasts one full
    // period even when bytes arrive meanwhile. What the window does in the break
    // (it may be built only now) runs within that period, as the timer runs.
    // Some USB adapters cannot send a break (their driver refuses it); a device that
    // is in its bootloader already may still synchronise, so the run goes on. Said
    // once for the run, whatever the code and however often the break is tried.
    if (!Comm->SetBreak()) sayBreakRefused("send a break", "going on without it");
    startTimer(kBreakMs);
    Owner.breakHeld();
    waitForData();
    logLine("SetBreak");
    if (!Comm->ClearBreak()) sayBreakRefused("end the break", "going on");
}

void ZbBootloader::sayBreakRefused(const char* what, const char* next) {
    const int error = Comm->LastOsError();
    // Refused because the device has gone: that is said instead, once.
    if (deviceGone() || BreakRefusalSaid) return;
    BreakRefusalSaid = true;
    logLine(Stat.PortName + " cannot " + what + " (" + DescribeOsError(error) + "): " + next);
}

bool ZbBootloader::establishBaudRate() {
    SendBuf[0] = kStx;
    for (int attempt = 0; attempt < kSyncAttempts; ++attempt) {
        if (!Comm->WriteComm(SendBuf, 1)) {
            // The line did not take the byte: no echo can come, and from a device
            // that has gone none ever will.
            if (deviceGone()) return false;
            logLine("Baud rate time out");
            continue;
        }
        // Armed after the write: an echo that came back sooner waits in the input
        // queue and completes this read all the same.
        Comm->ReadComm(RecvBuf, 1);
        startTimer(kSyncEchoMs);
        if (!waitForData()) {
            logLine("Baud rate time out");
        } else if (RecvBuf[0] == kStx) {
            logLine("Baud rate established");
            return true;
        } else {
            logLine(formatText("Bad answer - %u", static_cast<unsigned>(RecvBuf[0])));
        }
    }
    return false;
}

}  // namespace zb
