// TMainWindow: start-up, the result file and the unattended update run.
#include "MainWindowCode.h"

#include "HexLineTable.h"
#include "HostPlatform.h"
#include "ProgramInformation.h"
#include "ResultFile.h"
#include "WindowLayout.h"

namespace zb {

TMainWindow* MainWindow = nullptr;

namespace {

void copyToStandardError(const std::string& line) {
    // One write per line, so that lines stay whole even when another process
    // shares the stream.
    WriteToStandardError(line + '\n');
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
    if (!RemoveEarlierResult(kResultFileName)) {
        copyToStandardError(std::string("zbupdater: cannot remove the earlier ") + kResultFileName);
    }
    setUpGauge();
    Bootloader = std::make_unique<ZbBootloader>(Main, *this);
    View.clearInfoLines();
    setGaugeProgress(0);

    if (arguments.empty()) {
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
    if (MainWindow == this) MainWindow = nullptr;
}

void TMainWindow::setUpGauge() {
    // As designed: a horizontal bar without text in a single frame, navy on the
    // button face, 0 of 100.
    ProgressGauge.SetKind(TCGaugeKind::gkHorizontalBar);
    ProgressGauge.SetShowText(false);
    ProgressGauge.SetBorderStyle(TBorderStyle::bsSingle);
    ProgressGauge.SetForeColor(kNavy);
    ProgressGauge.SetBackColor(View.buttonFaceColor());
    ProgressGauge.SetMinValue(0);
    ProgressGauge.SetMaxValue(100);
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
    // The rate is in place before the port opens, so the port opens at it.
    Bootloader->setBaudRate("19200");
    Bootloader->setPortNumber(PortStat.PortName);
    PortStat = Bootloader->getCommStat();
    if (!PortStat.Open) {
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
    if (!Bootloader->activateBootloader(ApplicationAnswered)) {
        // Activation reports its own result text when it ends the program.
        if (Main.terminationRequested()) return;
        // The device may sit in its bootloader at the line speed in force already.
        if (!Bootloader->getBootloaderInfo()) {
            ReportResult("I can't find the bootloader");
            terminate();
            return;
        }
    }
    if (!Bootloader->eraseFlash()) {
        ReportResult("Error during erasing");
        terminate();
        return;
    }
    if (!Bootloader->writeFlash(FlashImage.data())) {
        ReportResult("Error during writing");
        terminate();
        return;
    }
    ReportResult("OK");
    terminate();
}

void ReportEscapedException(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& e) {
        WriteToStandardError(std::string("zbupdater: unexpected error: ") + e.what() + "\n");
    } catch (...) {
        WriteToStandardError("zbupdater: unexpected error\n");
    }
}

}  // namespace zb
