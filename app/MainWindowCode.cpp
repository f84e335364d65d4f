// TMainWindow: start-up, the result file and the unattended update run.
#include "MainWindowCode.h"

#include "HexLineTable.h"
#include "HostPlatform.h"
#include "PortNames.h"
#include "ProgramInformation.h"
#include "ResultFile.h"
#include "StandardErrorLines.h"
#include "WindowLayout.h"

namespace zb {

TMainWindow* MainWindow = nullptr;

namespace {

void copyToStandardError(const std::string& line) { StandardError().line(line); }

// Why the port did not open, for a technician: the name given, the path tried and
// the reason.
std::string openFailureLine(const std::string& name, const TZbComm& comm) {
    if (comm.OpenPath().empty()) {
        return "Cannot open " + name + ": " + comm.OpenFailure() + " (COM1 to COM256, or a device name such as " +
               NativePortNameExample() + ")";
    }
    const std::string path = comm.OpenPath() == name ? std::string() : " (" + comm.OpenPath() + ")";
    return "Cannot open " + name + path + ": " + comm.OpenFailure();
}

}  // namespace

void TMainWindow::InfoLines::addLine(const std::string& line) {
    view_.addInfoLine(line);
    copyToStandardError(line);
}

void TMainWindow::PortStatePanel::setText(const std::string& text) {
    view_.setStatusPanel(layout::kPortStatePanel, text);
    copyToStandardError(text);
}

TMainWindow::TMainWindow(MainThread& main, MainWindowView& view,
                         const std::vector<std::string>& arguments)
    : Main(main),
      View(view),
      updateImage_(HexLineTable, static_cast<std::size_t>(HexLineCount)) {
    MainWindow = this;
    // Before anything is reported or the port opened: from here on the file holds
    // this run's result or none.
    const EarlierResult earlier = RemoveEarlierResult(kResultFileName);
    if (earlier == EarlierResult::Held) {
        copyToStandardError(std::string("zbupdater: cannot remove the earlier ") + kResultFileName +
                            " (empty, held open by another program)");
    }
    setUpGauge();
    Bootloader = std::make_unique<ZbBootloader>(Main, *this);
    View.clearInfoLines();
    setGaugeProgress(0);

    if (earlier == EarlierResult::Stands) {
        // No report of this run could take its place: the device is not touched.
        copyToStandardError(std::string("zbupdater: the earlier ") + kResultFileName +
                            " can be neither removed nor emptied (a read-only folder or medium, or "
                            "another program holding it open?); the device is left alone");
        ExitStatus = kEarlierResultStands;
        terminate();
        return;
    }

    if (arguments.empty()) {
        // A person who tried the program bare learns what it wants; a calling
        // program reads the file as always.
        copyToStandardError("zbupdater: a serial port name is wanted (zbupdater PORT); --help tells more");
        ReportResult("No parameter");
        terminate();
        return;
    }
    // The port name travels as data only: the connection formats it as an
    // argument, never as the format, and the panels show it as plain text.
    PortStat.PortName = arguments.front();
    UpdateStarted = false;
    View.setUpdateButtonVisible(false);
    View.placeGaugeAboveStatusBar();
    Main.setIdleHandler([this] { ApplicationIdle(); });
}

TMainWindow::~TMainWindow() {
    // The port goes down while the window's parts it writes to still exist.
    Bootloader.reset();
    StandardError().finish();
    if (MainWindow == this) MainWindow = nullptr;
}

void TMainWindow::setUpGauge() {
    SetUpRunGauge(ProgressGauge, View.buttonFaceColor());
    View.redrawGauge(ProgressGauge);
}

void TMainWindow::FormCreate() {
    if (Main.terminationRequested()) return;  // "No parameter": nothing more to do
    Bootloader->InfoBox = &infoLines_;
    Bootloader->setStatusTarget(&portStatePanel_);
    Bootloader->setSendBuffer(SendBuffer.data());
    Bootloader->setReceiveBuffer(ReceiveBuffer.data());
    // A technician's trace of the whole run: the log starts empty before the port
    // opens, so it holds every write and every completed reception on it.
    if (TrafficLogRequested()) Bootloader->comm().SetLogState(true);
    std::string ignored;
    Bootloader->setFastBaudRate(RequestedFastBaudRate(ignored));
    if (!ignored.empty()) {
        copyToStandardError("ZBUPDATER_BAUD \"" + ignored +
                            "\" ignored (38400, 57600 or 115200); the line runs at 19200 baud");
    }
    // The rate is in place before the port opens, so the port opens at it.
    Bootloader->setBaudRate("19200");
    Bootloader->setPortNumber(PortStat.PortName);
    PortStat = Bootloader->getCommStat();
    if (!PortStat.Open) {
        copyToStandardError(openFailureLine(PortStat.PortName, Bootloader->comm()));
        ReportResult("I can't open COM-port");
        terminate();
    }
}

void TMainWindow::ReportResult(const std::string& text) {
    // A report that cannot be stored (a read-only working folder, say) is lost; the
    // run goes on to its normal end and the exit status stays 0.
    if (!WriteResultFile(kResultFileName, text)) {
        copyToStandardError(std::string("zbupdater: cannot store the result \"") + text + "\" in " + kResultFileName);
    }
}

void TMainWindow::setProgressText(const std::string& text) {
    View.setStatusPanel(layout::kProgressPanel, text);
}

void TMainWindow::setGaugeMax(std::int32_t maxValue) {
    if (ProgressGauge.SetMaxValue(maxValue)) View.redrawGauge(ProgressGauge);
}

void TMainWindow::setGaugeProgress(std::int32_t progress) {
    if (ProgressGauge.SetProgress(progress)) View.redrawGauge(ProgressGauge);
}

std::int32_t TMainWindow::gaugeProgress() const { return ProgressGauge.Progress(); }

void TMainWindow::showPhaseShare(const std::string& phase, std::int64_t done, std::int64_t total) {
    StandardError().share(phase, done, total);
}

void TMainWindow::breakHeld() {
    // A window that cannot be built is no reason to leave the line in break.
    try {
        View.breakHeld();
    } catch (...) {
        ReportEscapedException(std::current_exception());
    }
}

void TMainWindow::ClearFlashImage() { zb::ClearFlashImage(FlashImage); }

bool TMainWindow::ParseHexLines(const std::vector<std::string>& lines, FlashImageBytes& image) {
    if (parseObserver_) parseObserver_(lines);
    return parser_.ParseHexLines(lines, image);
}

void TMainWindow::ApplicationIdle() {
    // The run starts once; the event loop may offer more idle moments.
    if (UpdateStarted || Main.terminationRequested()) return;
    UpdateStarted = true;
    PortStat = Bootloader->getCommStat();
    if (!PortStat.Open) {
        ReportResult("I can't open COM-port");
        terminate();
        return;
    }
    // The probe's reply is a short frame.
    Bootloader->setRawMode(false);
    ApplicationAnswered = Bootloader->probeDevice();
    UpdateButtonClick();
}

void TMainWindow::UpdateButtonClick() {
    // The run always installs the embedded image; it reads no file.
    UpdateLines = std::make_unique<std::vector<std::string>>();
    UpdateLines->reserve(updateImage_.size());
    for (std::string_view line : updateImage_) UpdateLines->emplace_back(line);
    ClearFlashImage();
    const bool parsed = ParseHexLines(*UpdateLines, FlashImage);
    UpdateLines.reset();
    if (!parsed) {
        ReportResult("Bad update data format");
        terminate();
        return;
    }
    PortStat = Bootloader->getCommStat();
    if (!PortStat.Open) {
        ReportResult("I can't open COM-port");
        terminate();
        return;
    }
    bool resetFirst = ApplicationAnswered;
    if (!Bootloader->fastBaudRate().empty()) {
        // The writer changes the image in place (reset instruction, jump): a
        // second attempt starts from the image as parsed.
        const auto parsedImage = std::make_unique<FlashImageBytes>(FlashImage);
        const std::string failed = updateAtFastRate(resetFirst);
        if (failed.empty()) {
            ReportResult("OK");
            terminate();
            return;
        }
        // A reset the application did not confirm ends the run with its own result.
        if (Main.terminationRequested()) return;
        // Nothing answers at any speed once the device has gone: the step that
        // failed gives the result.
        if (Bootloader->deviceGone()) {
            ReportResult(failed);
            terminate();
            return;
        }
        // The fast line must never fail an update that 19200 baud would carry:
        // start again from the break, with the device already in its bootloader.
        infoLines_.addLine("Falling back to 19200 baud");
        Bootloader->setFastBaudRate({});
        FlashImage = *parsedImage;
        resetFirst = false;
    }
    if (!Bootloader->activateBootloader(resetFirst)) {
        // Activation reports its own result text when it ends the program.
        if (Main.terminationRequested()) return;
        // The device may sit in its bootloader at the line speed in force already,
        // unless it has gone.
        if (Bootloader->deviceGone() || !Bootloader->getBootloaderInfo()) {
            reportFailedStep("I can't find the bootloader");
            return;
        }
    }
    if (!Bootloader->eraseFlash()) {
        reportFailedStep("Error during erasing");
        return;
    }
    if (!Bootloader->writeFlash(FlashImage.data())) {
        reportFailedStep("Error during writing");
        return;
    }
    ReportResult("OK");
    terminate();
}

void TMainWindow::reportFailedStep(const std::string& text) {
    // A step that failed because the device has gone says so (once for the run),
    // whichever call found it: a write between two waits, say.
    (void)Bootloader->deviceGone();
    ReportResult(text);
    terminate();
}

std::string TMainWindow::updateAtFastRate(bool resetFirst) {
    if (!Bootloader->activateBootloader(resetFirst)) return "I can't find the bootloader";
    if (!Bootloader->eraseFlash()) return "Error during erasing";
    if (!Bootloader->writeFlash(FlashImage.data())) return "Error during writing";
    return {};
}

void ReportEscapedException(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& e) {
        StandardError().line(std::string("zbupdater: unexpected error: ") + e.what());
    } catch (...) {
        StandardError().line("zbupdater: unexpected error");
    }
}

int RunMainWindow(MainThread& main, MainWindowView& view, const std::vector<std::string>& arguments,
                  const std::function<void(TMainWindow&)>& wire, const std::function<void()>& show) {
    TMainWindow window(main, view, arguments);
    if (wire) wire(window);
    try {
        window.FormCreate();
    } catch (...) {
        // As after any event handler: said, and the run still starts when idle.
        ReportEscapedException(std::current_exception());
    }
    if (!main.terminationRequested()) {
        show();
        main.runEventLoop();
    }
    return window.exitStatus();
}

}  // namespace zb
