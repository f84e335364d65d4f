#include "Win32System.h"

#include <atomic>

namespace zb {

namespace {

// Each call is the system call itself: the port pays one indirect call per request.
class SystemCalls final : public Win32System {
public:
    HANDLE createFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) override {
        return ::CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
    }
    BOOL closeHandle(HANDLE h) override { return ::CloseHandle(h); }
    BOOL getCommState(HANDLE h, DCB* dcb) override { return ::GetCommState(h, dcb); }
    BOOL setCommState(HANDLE h, DCB* dcb) override { return ::SetCommState(h, dcb); }
    BOOL setupComm(HANDLE h, DWORD receive, DWORD transmit) override { return ::SetupComm(h, receive, transmit); }
    BOOL getCommTimeouts(HANDLE h, COMMTIMEOUTS* t) override { return ::GetCommTimeouts(h, t); }
    BOOL setCommTimeouts(HANDLE h, COMMTIMEOUTS* t) override { return ::SetCommTimeouts(h, t); }
    BOOL setCommMask(HANDLE h, DWORD mask) override { return ::SetCommMask(h, mask); }
    BOOL readFile(HANDLE h, void* bytes, DWORD count, OVERLAPPED* record) override {
        return ::ReadFile(h, bytes, count, nullptr, record);
    }
    BOOL writeFile(HANDLE h, const void* bytes, DWORD count, OVERLAPPED* record) override {
        return ::WriteFile(h, bytes, count, nullptr, record);
    }
    BOOL getOverlappedResult(HANDLE h, OVERLAPPED* record, DWORD* transferred, BOOL wait) override {
        return ::GetOverlappedResult(h, record, transferred, wait);
    }
    BOOL cancelIoEx(HANDLE h, OVERLAPPED* record) override { return ::CancelIoEx(h, record); }
    BOOL flushFileBuffers(HANDLE h) override { return ::FlushFileBuffers(h); }
    BOOL clearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) override { return ::ClearCommError(h, errors, stat); }
    BOOL purgeComm(HANDLE h, DWORD flags) override { return ::PurgeComm(h, flags); }
    BOOL setCommBreak(HANDLE h) override { return ::SetCommBreak(h); }
    BOOL clearCommBreak(HANDLE h) override { return ::ClearCommBreak(h); }
    BOOL escapeCommFunction(HANDLE h, DWORD code) override { return ::EscapeCommFunction(h, code); }
};

// Read when a port is created, written by a test before it creates one.
std::atomic<Win32System*> standIn{nullptr};

}  // namespace

Win32System& SystemWin32() {
    static SystemCalls system;
    return system;
}

Win32System& Win32SystemInUse() {
    Win32System* s = standIn.load(std::memory_order_acquire);
    return s != nullptr ? *s : SystemWin32();
}

void UseWin32System(Win32System* s) { standIn.store(s, std::memory_order_release); }

}  // namespace zb
