#include "Bootloadercomm.h"

#include <cstdarg>
#include <cstdio>

namespace zb {

ZbBootloader::ZbBootloader(MainThread& main, MainWindowSurface& owner) : Main(main), Owner(owner) {
    Stat.PortName.clear();
    Stat.BaudRate.clear();
    Crc16Acc.Set(0);
    Crc8Acc.Set(0);
    Timer = std::make_unique<OneShotTimer>(Main, [this] { timeOutTimer(); });
    Comm = std::make_unique<TZbComm>(Main);
    Comm->OnDataReady = [this](TZbComm* sender) { commDataReady(sender); };
    Comm->OnDeviceGone = [this](TZbComm* sender) { commDeviceGone(sender); };
    SendBuf = nullptr;
    RecvBuf = nullptr;
    Stat.PortName = "0";
    Stat.BaudRate = "8";
    Stat.Open = false;
    Stat.Discard = false;
    StatusText = nullptr;
    InfoBox = nullptr;
}

ZbBootloader::~ZbBootloader() {
    // The port goes down before the timer and the handlers it calls.
    Comm.reset();
    Timer.reset();
}

const char* ZbBootloader::formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // vsnprintf cuts what does not fit and always terminates the text.
    std::vsnprintf(Text, sizeof Text, format, args);
    va_end(args);
    return Text;
}

void ZbBootloader::showPortState(const char* format) {
    // The name comes from the command line and has no length limit: it is an
    // argument, never the format, and a line too long for Text is cut, ending in
    // "..." so that the cut shows.
    const int needed = std::snprintf(Text, sizeof Text, format, Stat.PortName.c_str());
    if (needed >= static_cast<int>(sizeof Text)) {
        std::snprintf(Text + sizeof Text - 4, 4, "...");
    }
    if (StatusText != nullptr) StatusText->setText(Text);
}

void ZbBootloader::setPortNumber(const std::string& name) {
    Stat.PortName = name;
    if (Stat.Open) {
        if (Comm->CloseComm()) {
            Stat.Open = false;
        } else {
            Owner.ReportResult("COM-port number error");
            Main.requestTermination();
        }
    }
    Comm->SetPortNumber(Stat.PortName);
    if (Comm->OpenComm()) {
        showPortState("%s active");
        // Takes up to 5 bytes that were already waiting.
        Comm->ReadComm(RecvBuf, 5);
        startTimer(kPortOpenMs);
        waitForData();
        Stat.Open = true;
    } else {
        showPortState("%s not active");
        Stat.Open = false;
    }
}

void ZbBootloader::setBaudRate(const std::string& text) {
    Stat.BaudRate = text;
    Comm->SetBaudRate(text);
}

void ZbBootloader::logLine(const std::string& text) {
    if (InfoBox != nullptr) InfoBox->addLine(text);
}

bool ZbBootloader::waitForData() {
    // No reply can come any more: waiting out the time-out would only delay the
    // step's result.
    if (deviceGone()) {
        stopTimer();
        Comm->StopReading();
        Stat.TimedOut = true;
        Stat.DataReceived = false;
        return false;
    }
    // Each round blocks until the next event (timer, data ready, repaint) and
    // handles it; no processor time is spent while the line is quiet.
    while (!Stat.TimedOut && !Stat.DataReceived) Main.processEvents();
    return Stat.DataReceived;
}

void ZbBootloader::timeOutTimer() {
    const auto deadline = Timer->deadline();
    stopTimer();
    // What the port holds now was there when the program looked after the deadline:
    // the reply of a program that was held up, which counts as in time. When the
    // program kept up, this finds nothing and costs a scheduling delay. The discard
    // ends at its time-out whatever the line brings.
    if (!Stat.Discard) Comm->CatchUp(deadline);
    // A main thread held up (a modal loop, a loaded machine) comes here late. A
    // reception that completed in time still ends the wait as data; its handler may
    // instead go on to the reply's next stage, with the timer running again.
    if (Comm->HandOverCompletedBy(deadline) && (Stat.DataReceived || Stat.TimedOut || Timer->running())) return;
    Stat.TimedOut = true;
    ++Stat.TimeOutCount;
    Comm->StopReading();
}

bool ZbBootloader::deviceGone() {
    if (!Comm->DeviceGone()) return false;
    if (!GoneSaid) {
        GoneSaid = true;
        logLine(Stat.PortName + ": the device is gone (unplugged?)");
    }
    return true;
}

void ZbBootloader::commDeviceGone(TZbComm* /*sender*/) {
    deviceGone();
    stopTimer();
    Comm->StopReading();
    Stat.TimedOut = true;
    Stat.DataReceived = false;
}

void ZbBootloader::commDataReady(TZbComm* /*sender*/) {
    if (Stat.Discard) return;
    // Completed after the deadline: whichever the main thread comes to first, the
    // time-out, due by now, ends the wait.
    if (Timer->running() && Comm->CompletedAt() > Timer->deadline()) return;
    if (RawReplies) {
        Stat.DataReceived = true;
        stopTimer();
        return;
    }
    shortFrameStage();
}

}  // namespace zb
