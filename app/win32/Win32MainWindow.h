// Win32MainWindow: the program's one window on Windows, the view of TMainWindow,
// in plain Win32 (USER32, GDI32, COMCTL32).
//
// Caption "Progress", no buttons in the title bar, a single border that does not
// resize, at the designed screen position (392, 413); 400 pixels wide, the client
// area as high as the bevel and the status bar. The bevel is a sunken frame directly
// above the status bar with the gauge inside it; the gauge is painted into an
// off-screen bitmap and copied to the screen in one step; the status bar takes its
// texts, and gauge and status bar are painted, from the event loop, at most every
// 100 ms. The status bar has two
// panels: one third of the width, and the rest. The information list and the
// "Update" button are there, hidden during the run.
//
// Where no window can be made (no desktop), the view still takes every call and
// shows nothing: the run goes on unattended.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "MainWindowView.h"
#include "TCGauge.h"
#include "WindowLayout.h"

struct HWND__;
struct HDC__;
struct HBITMAP__;
struct HFONT__;

namespace zb {

class Win32MainWindow final : public MainWindowView {
public:
    Win32MainWindow();
    ~Win32MainWindow() override;
    Win32MainWindow(const Win32MainWindow&) = delete;
    Win32MainWindow& operator=(const Win32MainWindow&) = delete;

    // MainWindowView.
    void redrawGauge(const TCGauge& gauge) override;
    void setStatusPanel(int panel, const std::string& text) override;
    void addInfoLine(const std::string& line) override;
    void clearInfoLines() override;
    void setUpdateButtonVisible(bool visible) override;
    void placeGaugeAboveStatusBar() override;
    GaugeColor buttonFaceColor() const override;

    void show();
    // Called when the "Update" button is clicked.
    std::function<void()> onUpdateClick;

    bool hasWindow() const { return window_ != nullptr; }
    HWND__* handle() const { return window_; }
    // What the window shows, for tests.
    std::string statusPanelText(int panel) const;
    std::size_t infoLineCount() const;
    bool updateButtonVisible() const;

private:
    friend struct Win32WindowProcs;  // the window procedures, in the .cpp file
    void setPanelWidths();
    void paintFrame(HDC__* dc) const;
    void copyGaugeTo(HDC__* dc) const;
    // Has the changed gauge and status panels shown soon by the event loop, at most
    // every 100 ms.
    void updateScreenSoon();
    void showChangedParts();

    HWND__* window_ = nullptr;
    HWND__* gauge_ = nullptr;
    HWND__* statusBar_ = nullptr;
    HWND__* infoBox_ = nullptr;
    HWND__* updateButton_ = nullptr;
    HFONT__* buttonFont_ = nullptr;
    layout::Rect bevel_{0, 0, layout::kDesignedWidth, layout::kBevelHeight};
    // The gauge's off-screen picture, kept for repaints.
    HDC__* gaugeDc_ = nullptr;
    HBITMAP__* gaugeBitmap_ = nullptr;
    HBITMAP__* gaugeOldBitmap_ = nullptr;
    int gaugeWidth_ = 0;
    int gaugeHeight_ = 0;
    // Parts changed since they were last given to the screen, and when that was.
    bool gaugeChanged_ = false;
    static constexpr int kPanels = 2;
    bool changedPanels_[kPanels] = {};
    std::wstring panelTexts_[kPanels];  // the panels' latest texts
    bool statusBarChanged_ = false;  // all of it
    bool screenUpdateTimer_ = false;
    unsigned long long lastScreenUpdate_ = 0;
};

}  // namespace zb
