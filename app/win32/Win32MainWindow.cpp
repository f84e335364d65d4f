#include "Win32MainWindow.h"

// Before <windows.h>, whose macros would rename their functions.
#include "HostPlatform.h"
#include "Win32Text.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <iterator>


namespace zb {

namespace {

constexpr const wchar_t* kWindowClass = L"ZbUpdaterMainWindow";
constexpr const wchar_t* kGaugeClass = L"ZbUpdaterGauge";
constexpr int kUpdateButtonId = 101;
// The gauge and the status bar reach the screen at most this often; the last
// change always does.
constexpr UINT_PTR kScreenUpdateTimer = 1;
constexpr ULONGLONG kScreenUpdateIntervalMs = 100;

// Title bar without buttons (no system menu), a single border that does not resize.
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = 0;

COLORREF colorRef(GaugeColor c) { return RGB(c.r, c.g, c.b); }

void fill(HDC dc, const GaugeRect& r, GaugeColor color) {
    if (r.empty()) return;
    const RECT rect{r.left, r.top, r.right(), r.bottom()};
    HBRUSH brush = ::CreateSolidBrush(colorRef(color));
    ::FillRect(dc, &rect, brush);
    ::DeleteObject(brush);
}

Win32MainWindow* viewOf(HWND hwnd) {
    return reinterpret_cast<Win32MainWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

void registerClasses(HINSTANCE instance, WNDPROC windowProc, WNDPROC gaugeProc) {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = windowProc;
    cls.hInstance = instance;
    cls.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    // The system's window colour as the background.
    cls.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    cls.lpszClassName = kWindowClass;
    ::RegisterClassExW(&cls);

    WNDCLASSEXW gauge{};
    gauge.cbSize = sizeof gauge;
    gauge.lpfnWndProc = gaugeProc;
    gauge.hInstance = instance;
    gauge.hCursor = cls.hCursor;
    gauge.hbrBackground = nullptr;  // the gauge paints every pixel itself
    gauge.lpszClassName = kGaugeClass;
    ::RegisterClassExW(&gauge);
}

}  // namespace

struct Win32WindowProcs {
    static LRESULT CALLBACK window(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        Win32MainWindow* view = viewOf(hwnd);
        switch (msg) {
            case WM_PAINT: {
                PAINTSTRUCT ps;
                HDC dc = ::BeginPaint(hwnd, &ps);
                if (view != nullptr) view->paintFrame(dc);
                ::EndPaint(hwnd, &ps);
                return 0;
            }
            case WM_COMMAND:
                if (LOWORD(wParam) == kUpdateButtonId && HIWORD(wParam) == BN_CLICKED && view != nullptr &&
                    view->onUpdateClick) {
                    // An exception must not cross the system's window code.
                    try {
                        view->onUpdateClick();
                    } catch (const std::exception& e) {
                        WriteToStandardError(std::string("zbupdater: unexpected error: ") + e.what() + "\n");
                    } catch (...) {
                        WriteToStandardError("zbupdater: unexpected error\n");
                    }
                }
                return 0;
            case WM_TIMER:
                if (wParam != kScreenUpdateTimer) return ::DefWindowProcW(hwnd, msg, wParam, lParam);
                ::KillTimer(hwnd, kScreenUpdateTimer);
                if (view != nullptr) {
                    view->screenUpdateTimer_ = false;
                    view->showChangedParts();
                }
                return 0;
            case WM_CLOSE:
                // The run is not to be interrupted from the window.
                return 0;
            default:
                return ::DefWindowProcW(hwnd, msg, wParam, lParam);
        }
    }

    static LRESULT CALLBACK gauge(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        if (msg == WM_ERASEBKGND) return 1;
        if (msg == WM_PAINT) {
            PAINTSTRUCT ps;
            HDC dc = ::BeginPaint(hwnd, &ps);
            if (Win32MainWindow* view = viewOf(hwnd)) view->copyGaugeTo(dc);
            ::EndPaint(hwnd, &ps);
            return 0;
        }
        return ::DefWindowProcW(hwnd, msg, wParam, lParam);
    }
};

Win32MainWindow::Win32MainWindow() {
    using namespace layout;
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    registerClasses(instance, &Win32WindowProcs::window, &Win32WindowProcs::gauge);

    // 400 wide outside, the client area as high as bevel and status bar.
    RECT frame{0, 0, kWindowWidth, kClientHeight};
    ::AdjustWindowRectEx(&frame, kWindowStyle, FALSE, kWindowExStyle);
    const int frameWidth = (frame.right - frame.left) - kWindowWidth;
    const int outerHeight = frame.bottom - frame.top;
    window_ = ::CreateWindowExW(kWindowExStyle, kWindowClass, widen(kCaption).c_str(), kWindowStyle, kDesignedLeft,
                                kDesignedTop, kWindowWidth, outerHeight, nullptr, nullptr, instance, this);
    if (window_ == nullptr) return;
    RECT client;
    ::GetClientRect(window_, &client);
    (void)frameWidth;
    const int clientWidth = client.right - client.left;
    const int clientHeight = client.bottom - client.top;
    const RunLayout run = runLayout(clientWidth, clientHeight);

    // The gauge as designed, in its bevel at the top; the run moves both.
    gaugeWidth_ = kDesignedWidth;
    gaugeHeight_ = kGaugeHeight;
    gauge_ = ::CreateWindowExW(0, kGaugeClass, L"", WS_CHILD | WS_VISIBLE, kGaugeInset, kGaugeInset, gaugeWidth_,
                               gaugeHeight_, window_, nullptr, instance, this);
    HDC screen = ::GetDC(window_);
    gaugeDc_ = ::CreateCompatibleDC(screen);
    gaugeBitmap_ = ::CreateCompatibleBitmap(screen, kDesignedWidth, kGaugeHeight);
    ::ReleaseDC(window_, screen);
    gaugeOldBitmap_ = static_cast<HBITMAP>(::SelectObject(gaugeDc_, gaugeBitmap_));

    // The status bar along the bottom edge, 19 high whatever its font, no size grip.
    statusBar_ = ::CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | CCS_NORESIZE | CCS_NOPARENTALIGN,
                                   run.statusBar.left, run.statusBar.top, run.statusBar.width, run.statusBar.height,
                                   window_, nullptr, instance, nullptr);
    setPanelWidths();

    infoBox_ = ::CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", L"", WS_CHILD | WS_VSCROLL | LBS_NOINTEGRALHEIGHT, 0, 0,
                                 kWindowWidth, kClientHeight, window_, nullptr, instance, nullptr);

    updateButton_ = ::CreateWindowExW(0, L"BUTTON", widen(kUpdateButtonText).c_str(),
                                      WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, kButtonLeft, kButtonTop,
                                      kButtonWidth, kButtonHeight, window_,
                                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kUpdateButtonId)), instance, nullptr);
    HDC dc = ::GetDC(window_);
    const int height = -::MulDiv(kButtonPointSize, ::GetDeviceCaps(dc, LOGPIXELSY), 72);
    ::ReleaseDC(window_, dc);
    buttonFont_ = ::CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"MS Shell Dlg");
    ::SendMessageW(updateButton_, WM_SETFONT, reinterpret_cast<WPARAM>(buttonFont_), FALSE);
}

Win32MainWindow::~Win32MainWindow() {
    if (window_ != nullptr) ::DestroyWindow(window_);
    if (gaugeDc_ != nullptr) {
        ::SelectObject(gaugeDc_, gaugeOldBitmap_);
        ::DeleteDC(gaugeDc_);
    }
    if (gaugeBitmap_ != nullptr) ::DeleteObject(gaugeBitmap_);
    if (buttonFont_ != nullptr) ::DeleteObject(buttonFont_);
}

void Win32MainWindow::show() {
    if (window_ == nullptr) return;
    ::ShowWindow(window_, SW_SHOWNORMAL);
    ::UpdateWindow(window_);
}

void Win32MainWindow::paintFrame(HDC dc) const {
    // The bevel: a sunken frame, shadow on top and left, highlight on bottom and right.
    RECT bevel{bevel_.left, bevel_.top, bevel_.right(), bevel_.bottom()};
    ::DrawEdge(dc, &bevel, BDR_SUNKENOUTER, BF_RECT);
}

void Win32MainWindow::copyGaugeTo(HDC dc) const {
    if (gaugeDc_ == nullptr) return;
    ::BitBlt(dc, 0, 0, gaugeWidth_, gaugeHeight_, gaugeDc_, 0, 0, SRCCOPY);
}

void Win32MainWindow::redrawGauge(const TCGauge& gauge) {
    if (gaugeDc_ == nullptr) return;
    const int w = gaugeWidth_;
    const int h = gaugeHeight_;
    // Black over the whole control: with a single border this leaves the frame.
    fill(gaugeDc_, {0, 0, w, h}, kGaugeFrameColor);
    fill(gaugeDc_, gauge.Interior(w, h), gauge.BackColor());
    switch (gauge.Kind()) {
        case TCGaugeKind::gkHorizontalBar: fill(gaugeDc_, gauge.HorizontalBar(w, h), gauge.ForeColor()); break;
        case TCGaugeKind::gkVerticalBar: fill(gaugeDc_, gauge.VerticalBar(w, h), gauge.ForeColor()); break;
        default: break;
    }
    if (gauge.DrawsText()) {
        const std::wstring text = widen(gauge.PercentText());
        const GaugeColor c = gauge.TextColor();
        ::SetBkMode(gaugeDc_, TRANSPARENT);
        ::SetTextColor(gaugeDc_, colorRef(c));
        RECT all{0, 0, w, h};
        ::DrawTextW(gaugeDc_, text.c_str(), static_cast<int>(text.size()), &all,
                    DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    }
    // The finished picture reaches the screen in one copy with the gauge's next paint.
    gaugeChanged_ = true;
    updateScreenSoon();
}

void Win32MainWindow::updateScreenSoon() {
    // The status bar's texts and the painting are left to the event loop, which the
    // run's next wait turns while the device works: doing them here would hold up
    // the next command (a new status text alone took half a millisecond under
    // Wine). And the screen follows at most every 100 ms: erasing changes gauge and
    // text every few milliseconds, and each paint is work for the system (under
    // Wine a round of requests to its server and the display, which many programs
    // at once share) that nobody could see.
    if (screenUpdateTimer_ || window_ == nullptr) return;
    const ULONGLONG since = ::GetTickCount64() - lastScreenUpdate_;
    const ULONGLONG wait = since >= kScreenUpdateIntervalMs ? 0 : kScreenUpdateIntervalMs - since;
    screenUpdateTimer_ = ::SetTimer(window_, kScreenUpdateTimer, static_cast<UINT>(wait), nullptr) != 0;
    if (!screenUpdateTimer_) showChangedParts();
}

void Win32MainWindow::showChangedParts() {
    if (gaugeChanged_ && gauge_ != nullptr) ::InvalidateRect(gauge_, nullptr, FALSE);
    if (statusBar_ != nullptr && std::find(std::begin(changedPanels_), std::end(changedPanels_), true) !=
                                     std::end(changedPanels_)) {
        // The status bar would repaint itself at once; its new texts are painted with
        // the rest below. Switching its drawing off also drops what it still had to
        // paint (under Wine), so that is painted again with the change.
        if (::GetUpdateRect(statusBar_, nullptr, FALSE)) statusBarChanged_ = true;
        ::SendMessageW(statusBar_, WM_SETREDRAW, FALSE, 0);
        for (int panel = 0; panel < kPanels; ++panel) {
            if (changedPanels_[panel])
                ::SendMessageW(statusBar_, SB_SETTEXTW, static_cast<WPARAM>(panel),
                               reinterpret_cast<LPARAM>(panelTexts_[panel].c_str()));
        }
        ::SendMessageW(statusBar_, WM_SETREDRAW, TRUE, 0);
    }
    if (statusBar_ != nullptr && statusBarChanged_) {
        ::InvalidateRect(statusBar_, nullptr, TRUE);
    } else if (statusBar_ != nullptr) {
        for (int panel = 0; panel < kPanels; ++panel) {
            RECT r;
            if (changedPanels_[panel] &&
                ::SendMessageW(statusBar_, SB_GETRECT, static_cast<WPARAM>(panel), reinterpret_cast<LPARAM>(&r)))
                ::InvalidateRect(statusBar_, &r, TRUE);
        }
    }
    std::fill(std::begin(changedPanels_), std::end(changedPanels_), false);
    statusBarChanged_ = false;
    gaugeChanged_ = false;
    lastScreenUpdate_ = ::GetTickCount64();
}

void Win32MainWindow::setStatusPanel(int panel, const std::string& text) {
    if (statusBar_ == nullptr || panel < 0 || panel >= kPanels) return;
    // Kept until the screen is next updated, when the status bar takes it.
    panelTexts_[panel] = widen(text);
    changedPanels_[panel] = true;
    updateScreenSoon();
}

void Win32MainWindow::addInfoLine(const std::string& line) {
    if (infoBox_ == nullptr) return;
    const std::wstring wide = widen(line);
    ::SendMessageW(infoBox_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

void Win32MainWindow::clearInfoLines() {
    if (infoBox_ != nullptr) ::SendMessageW(infoBox_, LB_RESETCONTENT, 0, 0);
}

void Win32MainWindow::setUpdateButtonVisible(bool visible) {
    if (updateButton_ != nullptr) ::ShowWindow(updateButton_, visible ? SW_SHOW : SW_HIDE);
}

void Win32MainWindow::placeGaugeAboveStatusBar() {
    if (window_ == nullptr) return;
    RECT client;
    ::GetClientRect(window_, &client);
    const layout::RunLayout run = layout::runLayout(client.right - client.left, client.bottom - client.top);
    bevel_ = run.bevel;
    ::MoveWindow(statusBar_, run.statusBar.left, run.statusBar.top, run.statusBar.width, run.statusBar.height, TRUE);
    setPanelWidths();
    // A new picture of the gauge's new size; the next redraw fills it.
    gaugeWidth_ = run.gauge.width;
    gaugeHeight_ = run.gauge.height;
    ::MoveWindow(gauge_, run.gauge.left, run.gauge.top, run.gauge.width, run.gauge.height, TRUE);
    ::InvalidateRect(window_, nullptr, TRUE);
}

void Win32MainWindow::setPanelWidths() {
    // Panel 0 is a third of the window's width (its outer width, 400: 133 pixels);
    // panel 1 takes the rest.
    RECT outer;
    ::GetWindowRect(window_, &outer);
    int parts[2] = {(outer.right - outer.left) / 3, -1};
    ::SendMessageW(statusBar_, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
}

GaugeColor Win32MainWindow::buttonFaceColor() const {
    const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
    return {GetRValue(face), GetGValue(face), GetBValue(face)};
}

std::string Win32MainWindow::statusPanelText(int panel) const {
    if (statusBar_ == nullptr || panel < 0 || panel >= kPanels) return {};
    // What the status bar holds, or will take at the next screen update.
    if (changedPanels_[panel]) return narrow(panelTexts_[panel]);
    const auto length = LOWORD(::SendMessageW(statusBar_, SB_GETTEXTLENGTHW, static_cast<WPARAM>(panel), 0));
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    ::SendMessageW(statusBar_, SB_GETTEXTW, static_cast<WPARAM>(panel), reinterpret_cast<LPARAM>(text.data()));
    text.resize(length);
    return narrow(text);
}

std::size_t Win32MainWindow::infoLineCount() const {
    if (infoBox_ == nullptr) return 0;
    const LRESULT n = ::SendMessageW(infoBox_, LB_GETCOUNT, 0, 0);
    return n < 0 ? 0 : static_cast<std::size_t>(n);
}

bool Win32MainWindow::updateButtonVisible() const {
    return updateButton_ != nullptr && (::GetWindowLongW(updateButton_, GWL_STYLE) & WS_VISIBLE) != 0;
}

}  // namespace zb
