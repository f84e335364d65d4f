// TMainWindow: the program's one window. It owns the bootloader connection, the two
// byte buffers and the flash image, opens the port named on the command line, runs
// the unattended update once the event loop is idle, and stores the result text of
// the run in "status.dat".
//
// The window offers nothing to act on: a gauge in its bevel, a status bar with the
// port state (panel 0) and the erase and write progress (panel 1). The information
// list InfoBox and the "Update" button stay hidden.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QWidget>

#include "Bootloadercomm.h"
#include "HexParser.h"
#include "QtMainThread.h"
#include "TCGauge.h"
#include "WindowSurface.h"

namespace zb {

// The information list: a hidden list box whose lines also go to standard error,
// one per line, so that a technician or a calling program can follow the run.
class InfoBoxLines final : public InfoList {
public:
    explicit InfoBoxLines(QListWidget& box) : box_(box) {}
    void addLine(const std::string& line) override;

private:
    QListWidget& box_;
};

// A status-bar panel. The port-state panel is also written to standard error, the
// window being invisible on a machine without a display.
class PanelText final : public TextTarget {
public:
    PanelText(QLabel& label, bool echo) : label_(label), echo_(echo) {}
    void setText(const std::string& text) override;

private:
    QLabel& label_;
    bool echo_;
};

class TMainWindow final : public QWidget, public MainWindowSurface {
public:
    // `arguments` are the command-line arguments after the program name; the first
    // one names the serial port, the others are ignored.
    TMainWindow(QtMainThread& main, const std::vector<std::string>& arguments,
                QWidget* parent = nullptr);
    ~TMainWindow() override;
    TMainWindow(const TMainWindow&) = delete;
    TMainWindow& operator=(const TMainWindow&) = delete;

    // The create event: wires the connection and opens the port. Runs after the
    // constructor; does nothing when construction already ended the program.
    void FormCreate();

    // MainWindowSurface.
    void ReportResult(const std::string& text) override;
    void setProgressText(const std::string& text) override;
    void setGaugeMax(std::int32_t maxValue) override;
    void setGaugeProgress(std::int32_t progress) override;
    std::int32_t gaugeProgress() const override;

    // The idle handler: starts the update run at the first idle moment, once.
    void ApplicationIdle();
    // The update run; also the click handler of the hidden UpdateButton.
    void UpdateButtonClick();

    void ClearFlashImage();
    bool ParseHexLines(const std::vector<std::string>& lines, zb::FlashImage& image);

    // The lines the run parses; the embedded update image unless a test sets others.
    void setUpdateImage(std::span<const std::string_view> lines) { updateImage_ = lines; }

    // Components, for the connection's owner and for tests.
    QFrame Bevel1;
    TCGauge ProgressGauge;
    QStatusBar StatusBar;
    QLabel StatusPanel0;
    QLabel StatusPanel1;
    QListWidget InfoBox;
    QPushButton UpdateButton;

    const CommStat& portStat() const { return PortStat; }
    ZbBootloader& bootloader() { return *Bootloader; }
    const zb::FlashImage& flashImage() const { return FlashImage; }

private:
    void designLayout();
    void layOutGauge();
    void terminate() { Main.requestTermination(); }

    QtMainThread& Main;
    InfoBoxLines infoLines_{InfoBox};
    PanelText portStateText_{StatusPanel0, true};
    std::span<const std::string_view> updateImage_;
    HexParser parser_;

    std::array<std::uint8_t, kSendBufferSize> SendBuffer{};
    std::array<std::uint8_t, kReceiveBufferSize> ReceiveBuffer{};
    std::unique_ptr<std::vector<std::string>> UpdateLines;
    zb::FlashImage FlashImage{};
    // Declared after everything it points at, so that it goes first: its port
    // component shuts the port down and ends the receive watcher.
    std::unique_ptr<ZbBootloader> Bootloader;
    CommStat PortStat;
    bool UpdateStarted = false;
    bool ApplicationAnswered = false;
};

// The one main window, from the start of its construction to its destruction.
extern TMainWindow* MainWindow;

}  // namespace zb
