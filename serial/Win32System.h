// The calls that the Windows serial port (Win32SerialPort.cpp) makes on its device
// handle, in one small interface below the port layer. The port uses the system's
// own calls (SystemWin32) unless a test has put a stand-in driver in their place
// (UseWin32System), so that the one port layer can be run against each way real
// drivers behave, which Wine's serial layer does not play.
//
// Only the calls that reach the driver are here. The thread's last-error code, the
// port's own events and the clock are the process's, not the driver's, and are
// called directly. Every call has the signature and the promises of the system call
// it is named after: failure as FALSE (or INVALID_HANDLE_VALUE) with the code in
// GetLastError.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace zb {

class Win32System {
public:
    virtual ~Win32System() = default;

    virtual HANDLE createFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) = 0;
    virtual BOOL closeHandle(HANDLE h) = 0;
    virtual BOOL getCommState(HANDLE h, DCB* dcb) = 0;
    virtual BOOL setCommState(HANDLE h, DCB* dcb) = 0;
    virtual BOOL setupComm(HANDLE h, DWORD receive, DWORD transmit) = 0;
    virtual BOOL getCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) = 0;
    virtual BOOL setCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) = 0;
    virtual BOOL setCommMask(HANDLE h, DWORD mask) = 0;
    virtual BOOL readFile(HANDLE h, void* bytes, DWORD count, OVERLAPPED* record) = 0;
    virtual BOOL writeFile(HANDLE h, const void* bytes, DWORD count, OVERLAPPED* record) = 0;
    virtual BOOL getOverlappedResult(HANDLE h, OVERLAPPED* record, DWORD* transferred, BOOL wait) = 0;
    virtual BOOL cancelIoEx(HANDLE h, OVERLAPPED* record) = 0;
    virtual BOOL flushFileBuffers(HANDLE h) = 0;
    virtual BOOL clearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) = 0;
    virtual BOOL purgeComm(HANDLE h, DWORD flags) = 0;
    virtual BOOL setCommBreak(HANDLE h) = 0;
    virtual BOOL clearCommBreak(HANDLE h) = 0;
    virtual BOOL escapeCommFunction(HANDLE h, DWORD code) = 0;
};

// The system's own calls.
Win32System& SystemWin32();
// The calls that ports created from now on make: the system's, or the stand-in last
// given to UseWin32System. A port keeps the one it was created with.
Win32System& Win32SystemInUse();
// Tests: ports created from now on call `stand-in` (nullptr: the system again). The
// stand-in must outlive every port created with it, and every close it holds.
void UseWin32System(Win32System* standIn);

}  // namespace zb
