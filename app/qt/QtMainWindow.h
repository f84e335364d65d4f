// QtMainWindow: the Qt widgets of the program's one window, the view of TMainWindow.
// A fixed-size window without menu, tool bar or title-bar buttons: the gauge in its
// bevel and a status bar with two panels; the information list and the "Update"
// button stay hidden during the run.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStatusBar>
#include <QWidget>

#include "GaugeWidget.h"
#include "MainWindowView.h"

namespace zb {

class QtMainWindow final : public QWidget, public MainWindowView {
public:
    explicit QtMainWindow(QWidget* parent = nullptr);

    // MainWindowView.
    void redrawGauge(const TCGauge& gauge) override;
    void setStatusPanel(int panel, const std::string& text) override;
    void addInfoLine(const std::string& line) override;
    void clearInfoLines() override;
    void setUpdateButtonVisible(bool visible) override;
    void placeGaugeAboveStatusBar() override;
    GaugeColor buttonFaceColor() const override;

    QFrame Bevel1;
    GaugeWidget ProgressGauge;
    QStatusBar StatusBar;
    QLabel StatusPanel0;
    QLabel StatusPanel1;
    QListWidget InfoBox;
    QPushButton UpdateButton;
};

}  // namespace zb
