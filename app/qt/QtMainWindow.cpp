// QtMainWindow: building and laying out the window's widgets with Qt.
#include "QtMainWindow.h"

#include <QFont>
#include <QPalette>

#include "WindowLayout.h"

namespace zb {

QtMainWindow::QtMainWindow(QWidget* parent) : QWidget(parent) {
    using namespace layout;
    // No menu and no tool bar (the window has none), and no buttons in the title
    // bar: the run must not be interrupted from the window.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowTitle(QString::fromLatin1(kCaption));
    move(kDesignedLeft, kDesignedTop);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);
    // Only as high as the gauge's bevel and the status bar; not resizable.
    setFixedSize(kWindowWidth, kClientHeight);

    Bevel1.setParent(this);
    Bevel1.setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Bevel1.setGeometry(0, 0, kDesignedWidth, kBevelHeight);
    ProgressGauge.setParent(this);
    ProgressGauge.setGeometry(kGaugeInset, kGaugeInset, kDesignedWidth, kGaugeHeight);

    StatusBar.setParent(this);
    StatusBar.setSizeGripEnabled(false);
    StatusBar.setFixedHeight(kStatusBarHeight);
    const RunLayout run = runLayout(width(), height());
    StatusBar.setGeometry(run.statusBar.left, run.statusBar.top, run.statusBar.width,
                          run.statusBar.height);
    for (QLabel* panel : {&StatusPanel0, &StatusPanel1}) {
        panel->setTextFormat(Qt::PlainText);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setMinimumWidth(kDesignedPanelWidth);
    }
    StatusPanel0.setFixedWidth(run.panel0Width);
    StatusBar.addWidget(&StatusPanel0, 0);
    StatusBar.addWidget(&StatusPanel1, 1);

    InfoBox.setParent(this);
    InfoBox.hide();

    UpdateButton.setParent(this);
    UpdateButton.setText(QString::fromLatin1(kUpdateButtonText));
    UpdateButton.setGeometry(kButtonLeft, kButtonTop, kButtonWidth, kButtonHeight);
    QFont large = UpdateButton.font();
    large.setPointSize(kButtonPointSize);
    UpdateButton.setFont(large);
}

void QtMainWindow::redrawGauge(const TCGauge& gauge) { ProgressGauge.redraw(gauge); }

void QtMainWindow::setStatusPanel(int panel, const std::string& text) {
    QLabel& label = panel == layout::kPortStatePanel ? StatusPanel0 : StatusPanel1;
    label.setText(QString::fromStdString(text));
}

void QtMainWindow::addInfoLine(const std::string& line) {
    InfoBox.addItem(QString::fromStdString(line));
}

void QtMainWindow::clearInfoLines() { InfoBox.clear(); }

void QtMainWindow::setUpdateButtonVisible(bool visible) { UpdateButton.setVisible(visible); }

void QtMainWindow::placeGaugeAboveStatusBar() {
    const layout::RunLayout run = layout::runLayout(width(), height());
    Bevel1.setGeometry(run.bevel.left, run.bevel.top, run.bevel.width, run.bevel.height);
    ProgressGauge.setGeometry(run.gauge.left, run.gauge.top, run.gauge.width, run.gauge.height);
}

GaugeColor QtMainWindow::buttonFaceColor() const {
    const QColor face = palette().color(QPalette::Button);
    return {static_cast<std::uint8_t>(face.red()), static_cast<std::uint8_t>(face.green()),
            static_cast<std::uint8_t>(face.blue())};
}

}  // namespace zb
