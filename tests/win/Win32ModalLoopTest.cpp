// A reply that arrives while the main thread runs a nested message loop inside a
// window procedure, as Windows does for a held caption, a message box or a menu:
// neither the program's timers nor the hand-over of the reply run meanwhile, and
// once the loop returns both are due. The reply came in time, so it ends the wait.
// COM3 is the device emulator (tests/win/with-devsim.sh).
// Before <windows.h>, whose macros would rename the port layer's constants.
#include "ProtocolHarness.h"
#include "Win32MainThread.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr UINT kRunNestedLoop = WM_APP + 1;
constexpr auto kNestedLoop = 3s;  // twice the erase command's time-out
Clock::duration nestedLoopTook{};

LRESULT CALLBACK windowProcedure(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    if (msg != kRunNestedLoop) return ::DefWindowProcW(hwnd, msg, w, l);
    const auto start = Clock::now();
    while (Clock::now() - start < kNestedLoop) {
        MSG nested;
        while (::PeekMessageW(&nested, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&nested);
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    nestedLoopTook = Clock::now() - start;
    return 0;
}

}  // namespace

TEST(Win32ModalLoop, ReplyDuringANestedLoopInAWindowProcedureEndsTheWaitAsData) {
    zb::Win32MainThread main;
    WNDCLASSW cls{};
    cls.lpfnWndProc = windowProcedure;
    cls.hInstance = ::GetModuleHandleW(nullptr);
    cls.lpszClassName = L"zbModalLoopTest";
    ::RegisterClassW(&cls);
    HWND hwnd = ::CreateWindowW(L"zbModalLoopTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, cls.hInstance, nullptr);
    ASSERT_NE(hwnd, nullptr);

    zbtest::MemoryWindow window;
    zbtest::MemoryInfoList info;
    std::vector<std::uint8_t> sendBuf(zb::kSendBufferSize, 0xEE);
    std::vector<std::uint8_t> recvBuf(zb::kReceiveBufferSize, 0xEE);
    zb::ZbBootloader loader(main, window);
    loader.InfoBox = &info;
    loader.setSendBuffer(sendBuf.data());
    loader.setReceiveBuffer(recvBuf.data());
    loader.setBaudRate("19200");
    loader.setPortNumber("COM3");
    ASSERT_TRUE(loader.getCommStat().Open) << "COM3 is not the device emulator";
    loader.setRawMode(true);

    // The wait's first round of events runs the nested loop; the device answers the
    // erase command at once, inside it.
    const auto timeOutsBefore = loader.getCommStat().TimeOutCount;  // the open's own wait
    ::PostMessageW(hwnd, kRunNestedLoop, 0, 0);
    EXPECT_TRUE(loader.eraseBlock(0xF7FF, 16));
    EXPECT_GE(nestedLoopTook, kNestedLoop) << "the nested loop did not run inside the wait";
    EXPECT_EQ(loader.getCommStat().TimeOutCount, timeOutsBefore);
    ::DestroyWindow(hwnd);
}
