// The Windows window with the window's logic behind it, as the program builds it:
// caption, border and title bar, size and position, the bevel, the status bar's
// panels, the hidden list and button, the gauge as it appears on the screen, the
// start-up results, and the message box of a failed close.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MainWindowCode.h"
#include "Win32MainThread.h"
#include "Win32MainWindow.h"
#include "WindowLayout.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>

using namespace std::chrono_literals;

namespace {

// A fresh working directory for the result file.
class WorkDir {
public:
    WorkDir() {
        path_ = std::filesystem::temp_directory_path() /
                ("zbwin-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++counter_));
        std::filesystem::create_directories(path_);
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~WorkDir() {
        std::filesystem::current_path(previous_);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string status() const {
        std::ifstream in(path_ / "status.dat", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    static inline int counter_ = 0;
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

std::wstring windowText(HWND hwnd) {
    wchar_t text[256] = {};
    ::GetWindowTextW(hwnd, text, 256);
    return text;
}

HWND childOfClass(HWND parent, const wchar_t* cls) {
    return ::FindWindowExW(parent, nullptr, cls, nullptr);
}

// Turns the event loop for a while, as the run's waits do.
void turnFor(zb::Win32MainThread& main, std::chrono::milliseconds duration) {
    bool done = false;
    main.startTimer(duration, [&] { done = true; });
    while (!done) main.processEvents();
}

// Lets the window paint what is pending.
void pump(zb::Win32MainThread& main) { turnFor(main, 100ms); }

struct Program {
    WorkDir dir;
    zb::Win32MainThread main;
    zb::Win32MainWindow view;
    zb::TMainWindow window;

    explicit Program(std::vector<std::string> arguments) : window(main, view, arguments) {
        if (!view.hasWindow()) throw std::runtime_error("no window could be made");
    }
};

// The window as the run shows it: the gauge placed above the status bar, on the screen.
struct ShownWindow : Program {
    HWND gauge = nullptr;
    HWND bar = nullptr;

    ShownWindow() : Program({"COM5"}) {
        view.placeGaugeAboveStatusBar();
        view.show();
        gauge = childOfClass(view.handle(), L"ZbUpdaterGauge");
        bar = childOfClass(view.handle(), STATUSCLASSNAMEW);
        if (gauge == nullptr || bar == nullptr) throw std::runtime_error("no gauge or status bar");
    }
};

// Pixels in a status panel that are not the button face: its text, if any.
int textPixels(HWND bar, int panel) {
    RECT r;
    if (!::SendMessageW(bar, SB_GETRECT, static_cast<WPARAM>(panel), reinterpret_cast<LPARAM>(&r))) return -1;
    const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
    HDC dc = ::GetDC(bar);
    int count = 0;
    for (int x = r.left + 2; x < r.right - 2; ++x)
        for (int y = r.top + 2; y < r.bottom - 2; ++y)
            if (::GetPixel(dc, x, y) != face) ++count;
    ::ReleaseDC(bar, dc);
    return count;
}

// Counts the paints a window gets, through its window procedure.
class PaintCounter {
public:
    explicit PaintCounter(HWND hwnd) : hwnd_(hwnd) {
        ::SetPropW(hwnd, kProperty, this);
        original_ = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&PaintCounter::procedure)));
    }
    ~PaintCounter() {
        ::SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original_));
        ::RemovePropW(hwnd_, kProperty);
    }
    int paints() const { return paints_; }

private:
    static constexpr const wchar_t* kProperty = L"ZbPaintCounter";
    static LRESULT CALLBACK procedure(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        auto* counter = static_cast<PaintCounter*>(::GetPropW(hwnd, kProperty));
        if (msg == WM_PAINT) ++counter->paints_;
        return ::CallWindowProcW(counter->original_, hwnd, msg, wParam, lParam);
    }
    HWND hwnd_;
    WNDPROC original_ = nullptr;
    int paints_ = 0;
};

}  // namespace

TEST(Win32Window, CaptionBorderSizeAndPositionAsDesigned) {
    Program program({"COM5"});
    HWND hwnd = program.view.handle();
    EXPECT_EQ(windowText(hwnd), L"Progress");
    const LONG style = ::GetWindowLongW(hwnd, GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    // No buttons in the title bar; a single border that does not resize.
    EXPECT_FALSE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_FALSE(style & WS_THICKFRAME);
    EXPECT_EQ(::GetMenu(hwnd), nullptr);
    RECT outer;
    ::GetWindowRect(hwnd, &outer);
    EXPECT_EQ(outer.left, 392);
    EXPECT_EQ(outer.top, 413);
    EXPECT_EQ(outer.right - outer.left, 400);
    RECT client;
    ::GetClientRect(hwnd, &client);
    EXPECT_EQ(client.bottom - client.top, zb::layout::kBevelHeight + zb::layout::kStatusBarHeight);
}

TEST(Win32Window, StatusBarPanelsGaugeAndHiddenParts) {
    Program program({"COM5"});
    program.window.FormCreate();
    HWND hwnd = program.view.handle();
    RECT client;
    ::GetClientRect(hwnd, &client);

    HWND bar = childOfClass(hwnd, STATUSCLASSNAMEW);
    ASSERT_NE(bar, nullptr);
    int parts[4] = {};
    ASSERT_EQ(::SendMessageW(bar, SB_GETPARTS, 4, reinterpret_cast<LPARAM>(parts)), 2);
    EXPECT_EQ(parts[0], 133);  // a third of the width; panel 1 takes the rest
    EXPECT_EQ(parts[1], -1);
    RECT barRect;
    ::GetWindowRect(bar, &barRect);
    ::MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&barRect), 2);
    EXPECT_EQ(barRect.bottom, client.bottom);
    EXPECT_EQ(barRect.bottom - barRect.top, zb::layout::kStatusBarHeight);
    EXPECT_EQ(barRect.right - barRect.left, client.right);

    // The gauge in its bevel directly above the status bar, 2 pixels in.
    HWND gauge = childOfClass(hwnd, L"ZbUpdaterGauge");
    ASSERT_NE(gauge, nullptr);
    RECT g;
    ::GetWindowRect(gauge, &g);
    ::MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&g), 2);
    EXPECT_EQ(g.left, 2);
    EXPECT_EQ(g.top, barRect.top - zb::layout::kBevelHeight + 2);
    EXPECT_EQ(g.right, client.right - 2);
    EXPECT_EQ(g.bottom - g.top, zb::layout::kGaugeHeight);

    // The port that could not be opened, in panel 0; the list and button hidden.
    EXPECT_EQ(program.view.statusPanelText(0), "COM5 not active");
    EXPECT_EQ(program.dir.status(), "I can't open COM-port");
    EXPECT_TRUE(program.main.terminationRequested());
    HWND list = childOfClass(hwnd, L"LISTBOX");
    ASSERT_NE(list, nullptr);
    EXPECT_FALSE(::GetWindowLongW(list, GWL_STYLE) & WS_VISIBLE);
    EXPECT_FALSE(program.view.updateButtonVisible());
}

TEST(Win32Window, WithoutArgumentTheResultIsNoParameterAndTheButtonStays) {
    Program program({});
    program.window.FormCreate();
    EXPECT_EQ(program.dir.status(), "No parameter");
    EXPECT_TRUE(program.main.terminationRequested());
    EXPECT_EQ(program.view.statusPanelText(0), "");
}

TEST(Win32Window, GaugeOnTheScreenFollowsTheBarRule) {
    // What the display shows of the gauge: a black frame, a navy bar from the
    // interior's left edge to floor((W - 1) * percentage / 100), button face after it.
    ShownWindow program;
    HWND gauge = program.gauge;
    RECT r;
    ::GetClientRect(gauge, &r);
    const int width = r.right;
    const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
    for (const int percent : {0, 37, 100}) {
        program.window.setGaugeMax(1000);
        program.window.setGaugeProgress(percent * 10);
        pump(program.main);
        HDC dc = ::GetDC(gauge);
        const int row = r.bottom / 2;
        const int edge = (width - 1) * percent / 100;
        int navy = 0;
        int firstNavy = -1;
        for (int x = 0; x < width; ++x) {
            if (::GetPixel(dc, x, row) == RGB(0, 0, 128)) {
                ++navy;
                if (firstNavy < 0) firstNavy = x;
            }
        }
        EXPECT_EQ(::GetPixel(dc, 0, row), RGB(0, 0, 0)) << percent << " %: frame";
        EXPECT_EQ(::GetPixel(dc, width / 2, 0), RGB(0, 0, 0)) << percent << " %: frame";
        if (percent == 0) {
            EXPECT_EQ(navy, 0);
            EXPECT_EQ(::GetPixel(dc, width / 2, row), face);
        } else if (percent == 100) {
            EXPECT_EQ(navy, width - 2) << "the bar fills the interior";
        } else {
            EXPECT_EQ(firstNavy, 1);
            EXPECT_EQ(navy, edge - 1) << percent << " %";
            EXPECT_EQ(::GetPixel(dc, edge, row), face);
        }
        ::ReleaseDC(gauge, dc);
    }
}

TEST(Win32Window, TheLastOfQuickChangesReachesTheScreen) {
    // Gauge and status text change faster than the screen is updated (erasing sets
    // both every few milliseconds); what the window shows in the end is the last
    // change, also when nothing changes after it.
    ShownWindow program;
    HWND gauge = program.gauge;
    HWND bar = program.bar;
    program.window.setProgressText("Erasing address: F7FF");
    pump(program.main);
    pump(program.main);
    ASSERT_GT(textPixels(bar, zb::layout::kProgressPanel), 20) << "a text shows on the screen";

    program.window.setGaugeMax(100);
    for (const int percent : {10, 20, 30, 40, 50, 60, 70, 80, 90}) {
        program.window.setGaugeProgress(percent);
        program.window.setProgressText("Erasing address: " + std::to_string(percent));
        turnFor(program.main, 1ms);
    }
    program.window.setProgressText("");
    pump(program.main);
    pump(program.main);
    EXPECT_EQ(program.view.statusPanelText(zb::layout::kProgressPanel), "");
    EXPECT_EQ(textPixels(bar, zb::layout::kProgressPanel), 0) << "the panel still shows an earlier text";
    RECT r;
    ::GetClientRect(gauge, &r);
    const int edge = (r.right - 1) * 90 / 100;
    HDC dc = ::GetDC(gauge);
    EXPECT_EQ(::GetPixel(dc, edge - 1, r.bottom / 2), RGB(0, 0, 128)) << "the bar reaches 90 %";
    EXPECT_EQ(::GetPixel(dc, edge, r.bottom / 2), ::GetSysColor(COLOR_BTNFACE));
    ::ReleaseDC(gauge, dc);
}

TEST(Win32Window, ATextWaitingToBePaintedSurvivesAChangeOfTheOtherPanel) {
    // The progress text is about to be painted when the port state changes: both
    // texts reach the screen.
    ShownWindow program;
    pump(program.main);
    pump(program.main);
    HWND bar = program.bar;
    ASSERT_EQ(textPixels(bar, zb::layout::kProgressPanel), 0);
    program.window.setProgressText("Erasing address: F7FF");
    program.view.setStatusPanel(zb::layout::kPortStatePanel, "COM5 active");
    pump(program.main);
    pump(program.main);
    EXPECT_GT(textPixels(bar, zb::layout::kProgressPanel), 20) << "the progress text was not painted";
    EXPECT_GT(textPixels(bar, zb::layout::kPortStatePanel), 20) << "the port state was not painted";
}

TEST(Win32Window, ChangesEveryFewMillisecondsArePaintedAtMostTenTimesASecond) {
    // As while erasing: gauge and text change every 5 ms, and the run's waits turn
    // the event loop in between.
    ShownWindow program;
    pump(program.main);
    PaintCounter gaugePaints(program.gauge);
    PaintCounter barPaints(program.bar);
    program.window.setGaugeMax(100);
    const auto start = std::chrono::steady_clock::now();
    for (int percent = 1; percent <= 60; ++percent) {
        program.window.setGaugeProgress(percent);
        program.window.setProgressText("Erasing address: " + std::to_string(percent));
        turnFor(program.main, 5ms);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const int allowed = static_cast<int>(elapsed / 100ms) + 2;
    EXPECT_GE(gaugePaints.paints(), 1);
    EXPECT_LE(gaugePaints.paints(), allowed) << "60 changes in " << (elapsed / 1ms) << " ms";
    EXPECT_GE(barPaints.paints(), 1);
    EXPECT_LE(barPaints.paints(), allowed) << "60 changes in " << (elapsed / 1ms) << " ms";
}

TEST(Win32Window, FailedCloseMessageIsGermanWithOneOkAndNoIcon) {
    zb::Win32MainThread main;
    std::atomic<bool> seen{false};
    std::wstring text;
    int buttons = 0;
    bool icon = false;
    std::thread inspector([&] {
        for (int i = 0; i < 500 && !seen; ++i) {
            HWND box = ::FindWindowW(L"#32770", L"Fehler");
            if (box != nullptr) {
                for (HWND c = ::GetWindow(box, GW_CHILD); c != nullptr; c = ::GetWindow(c, GW_HWNDNEXT)) {
                    wchar_t cls[32] = {};
                    ::GetClassNameW(c, cls, 32);
                    const LONG style = ::GetWindowLongW(c, GWL_STYLE);
                    if (std::wstring(cls) == L"Button" && (style & WS_VISIBLE)) ++buttons;
                    if (std::wstring(cls) == L"Static" && (style & SS_TYPEMASK) == SS_ICON &&
                        (style & WS_VISIBLE) && ::SendMessageW(c, STM_GETICON, 0, 0) != 0)
                        icon = true;
                    if (std::wstring(cls) == L"Static" && (style & SS_TYPEMASK) != SS_ICON) {
                        const std::wstring t = windowText(c);
                        if (!t.empty()) text = t;
                    }
                }
                seen = true;
                ::PostMessageW(box, WM_COMMAND, IDOK, 0);
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
    });
    main.showMessage("Ich kann COMM nicht schließen!", "Fehler");
    inspector.join();
    ASSERT_TRUE(seen);
    EXPECT_EQ(text, L"Ich kann COMM nicht schlie\u00dfen!");
    EXPECT_EQ(buttons, 1);
    EXPECT_FALSE(icon);
}
