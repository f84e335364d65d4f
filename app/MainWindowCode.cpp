#include "MainWindowCode.h"

#include <cstdio>

#include <QFont>
#include <QPalette>

#include "HexLineTable.h"
#include "ResultFile.h"

namespace zb {

TMainWindow* MainWindow = nullptr;

namespace {

// Sizes of the designed window, in pixels.
constexpr int kWindowWidth = 400;
constexpr int kBevelHeight = 22;
constexpr int kGaugeHeight = 18;
constexpr int kStatusBarHeight = 19;
constexpr int kDesignedWidth = 600;
constexpr int kDesignedPanelWidth = 50;
constexpr int kButtonWidth = 161;
constexpr int kButtonHeight = 57;
constexpr int kButtonPointSize = 16;
constexpr int kDesignedLeft = 392;
constexpr int kDesignedTop = 413;

// The result file, in the working directory of the process.
const QString kResultFile = QStringLiteral("status.dat");

void writeErrorLine(const std::string& line) {
    // One write per line, so that lines stay whole even when another process
    // shares the stream.
    const std::string out = line + '\n';
    std::fwrite(out.data(), 1, out.size(), stderr);
}

}  // namespace

void InfoBoxLines::addLine(const std::string& line) {
    box_.addItem(QString::fromStdString(line));
    writeErrorLine(line);
}

void PanelText::setText(const std::string& text) {
    label_.setText(QString::fromStdString(text));
    if (echo_) writeErrorLine(text);
}

TMainWindow::TMainWindow(QtMainThread& main, const std::vector<std::string>& arguments,
                         QWidget* parent)
    : QWidget(parent),
      Main(main),
      updateImage_(HexLineTable, static_cast<std::size_t>(HexLineCount)) {
    MainWindow = this;
    designLayout();

    // 1, 2: no menu, no tool bar (the window has none), and no buttons in the title
    // bar: the run must not be interrupted from the window.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowTitle(QStringLiteral("Progress"));  // 3
    // 4: the window is only as high as the gauge's bevel and the status bar.
    setFixedSize(kWindowWidth, Bevel1.height() + StatusBar.height());
    StatusBar.setGeometry(0, height() - StatusBar.height(), width(), StatusBar.height());
    StatusPanel0.setFixedWidth(width() / 3);  // 5
    Bootloader = std::make_unique<ZbBootloader>(Main, *this);  // 6
    InfoBox.clear();  // 7
    ProgressGauge.SetProgress(0);
    UpdateButton.setEnabled(true);

    if (arguments.empty()) {  // 8
        ReportResult("No parameter");
        terminate();
        return;
    }
    // 9.1: the port name travels as data only: the connection formats it as an
    // argument, never as the format, and the panels show it as plain text.
    PortStat.PortName = arguments.front();
    UpdateStarted = false;
    UpdateButton.hide();
    layOutGauge();
    Main.setIdleHandler([this] { ApplicationIdle(); });
}

TMainWindow::~TMainWindow() {
    // The port goes down while the window's parts it writes to still exist.
    Bootloader.reset();
    if (MainWindow == this) MainWindow = nullptr;
}

void TMainWindow::designLayout() {
    // The window as designed, before construction adapts it.
    move(kDesignedLeft, kDesignedTop);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);

    Bevel1.setParent(this);
    Bevel1.setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Bevel1.setGeometry(0, 0, kDesignedWidth, kBevelHeight);

    ProgressGauge.setParent(this);
    ProgressGauge.setGeometry(2, 2, kDesignedWidth, kGaugeHeight);
    ProgressGauge.SetKind(TCGaugeKind::gkHorizontalBar);
    ProgressGauge.SetShowText(false);
    ProgressGauge.SetBorderStyle(TBorderStyle::bsSingle);
    ProgressGauge.SetForeColor(QColor(0, 0, 128));  // navy
    ProgressGauge.SetBackColor(palette().color(QPalette::Button));
    ProgressGauge.SetMinValue(0);
    ProgressGauge.SetMaxValue(100);

    StatusBar.setParent(this);
    StatusBar.setSizeGripEnabled(false);
    StatusBar.setFixedHeight(kStatusBarHeight);
    // The panels show texts that come from outside (the port name is the command
    // line's): plain text, never markup.
    for (QLabel* panel : {&StatusPanel0, &StatusPanel1}) {
        panel->setTextFormat(Qt::PlainText);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setMinimumWidth(kDesignedPanelWidth);
    }
    StatusBar.addWidget(&StatusPanel0, 0);
    StatusBar.addWidget(&StatusPanel1, 1);

    InfoBox.setParent(this);
    InfoBox.hide();

    UpdateButton.setParent(this);
    UpdateButton.setText(QStringLiteral("Update"));
    UpdateButton.setGeometry(8, 8, kButtonWidth, kButtonHeight);
    QFont large = UpdateButton.font();
    large.setPointSize(kButtonPointSize);
    UpdateButton.setFont(large);
    QObject::connect(&UpdateButton, &QPushButton::clicked, this,
                     [this] { Main.runHandler([this] { UpdateButtonClick(); }); });
}

void TMainWindow::layOutGauge() {
    // 9.4: the bevel directly above the status bar, across the window; the gauge
    // inside it, two pixels in from its edges. The bevel is placed flush with the
    // status bar rather than one pixel higher, so that its top edge stays inside the
    // window.
    Bevel1.setGeometry(Bevel1.x(), StatusBar.y() - Bevel1.height(), width(), Bevel1.height());
    ProgressGauge.setGeometry(Bevel1.x() + 2, Bevel1.y() + 2, Bevel1.width() - 4,
                              ProgressGauge.height());
}

void TMainWindow::FormCreate() {
    if (Main.terminationRequested()) return;  // "No parameter": nothing more to do
    Bootloader->InfoBox = &infoLines_;  // 1
    Bootloader->setStatusTarget(&portStateText_);
    Bootloader->setSendBuffer(SendBuffer.data());
    Bootloader->setReceiveBuffer(ReceiveBuffer.data());
    Bootloader->setBaudRate("19200");  // 2
    Bootloader->setPortNumber(PortStat.PortName);  // 3
    PortStat = Bootloader->getCommStat();  // 4
    if (!PortStat.Open) {  // 5
        ReportResult("I can't open COM-port");
        terminate();
    }
}

void TMainWindow::ReportResult(const std::string& text) {
    // A report that cannot be stored (a read-only working folder, say) is lost
    // without notice; the run goes on to its normal end and the exit status stays 0.
    (void)WriteResultFile(kResultFile, text);
}

void TMainWindow::setProgressText(const std::string& text) {
    StatusPanel1.setText(QString::fromStdString(text));
}

void TMainWindow::setGaugeMax(std::int32_t maxValue) { ProgressGauge.SetMaxValue(maxValue); }

void TMainWindow::setGaugeProgress(std::int32_t progress) { ProgressGauge.SetProgress(progress); }

std::int32_t TMainWindow::gaugeProgress() const { return ProgressGauge.Progress(); }

void TMainWindow::ClearFlashImage() { zb::ClearFlashImage(FlashImage); }

bool TMainWindow::ParseHexLines(const std::vector<std::string>& lines, zb::FlashImage& image) {
    return parser_.ParseHexLines(lines, image);
}

void TMainWindow::ApplicationIdle() {
    if (UpdateStarted || Main.terminationRequested()) return;  // 1
    UpdateStarted = true;
    PortStat = Bootloader->getCommStat();  // 2
    if (!PortStat.Open) {
        ReportResult("I can't open COM-port");
        terminate();
        return;
    }
    Bootloader->setRawMode(false);  // 3
    ApplicationAnswered = Bootloader->probeDevice();  // 4
    UpdateButtonClick();  // 5
}

void TMainWindow::UpdateButtonClick() {
    UpdateLines = std::make_unique<std::vector<std::string>>();  // 1
    UpdateLines->reserve(updateImage_.size());
    for (std::string_view line : updateImage_) UpdateLines->emplace_back(line);
    ClearFlashImage();  // 2
    const bool parsed = ParseHexLines(*UpdateLines, FlashImage);  // 3
    UpdateLines.reset();  // 4
    if (!parsed) {
        ReportResult("Bad update data format");
        terminate();
        return;
    }
    PortStat = Bootloader->getCommStat();  // 5
    if (!PortStat.Open) {
        ReportResult("I can't open COM-port");
        terminate();
        return;
    }
    if (!Bootloader->activateBootloader(ApplicationAnswered)) {  // 6
        // Activation reports its own result text when it ends the program.
        if (Main.terminationRequested()) return;
        // The device may sit in its bootloader at the line speed in force already.
        if (!Bootloader->getBootloaderInfo()) {
            ReportResult("I can't find the bootloader");
            terminate();
            return;
        }
    }
    if (!Bootloader->eraseFlash()) {  // 7
        ReportResult("Error during erasing");
        terminate();
        return;
    }
    if (!Bootloader->writeFlash(FlashImage.data())) {  // 8
        ReportResult("Error during writing");
        terminate();
        return;
    }
    ReportResult("OK");  // 9
    terminate();
}

}  // namespace zb
