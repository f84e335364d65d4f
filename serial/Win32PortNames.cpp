// Port names and the ports present on Windows.
// Before <windows.h>, which defines the escape codes' names as macros.
#include "PortNames.h"
#include "TZbComm.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>

namespace zb {

bool IsNativePortName(const std::string& name) { return name.size() > 4 && name.compare(0, 4, "\\\\.\\") == 0; }

const char* NativePortNameExample() { return "\\\\.\\COM3"; }

// Windows has no class of device to look at before the open: the name is opened as
// given, and a device that is no serial line fails when its line settings are read.
bool IsSerialLine(const std::string&, int&) { return true; }

std::string DescribeOpenError(int osError) {
    switch (static_cast<DWORD>(osError)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return "no such device";
        // A serial port that another program holds is refused with "access denied".
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return "in use by another program";
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_HANDLE: return "not a serial line";
        default: return DescribeOsError(osError);
    }
}

std::string DescribeOsError(int osError) {
    char text[256] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     static_cast<DWORD>(osError), 0, text, sizeof text, nullptr);
    std::string reason(text, n);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
        reason.pop_back();
    if (reason.empty()) reason = "system error " + std::to_string(osError);
    return reason;
}

std::vector<PresentPort> ListPresentPorts() {
    // The serial port drivers enter their ports here: value name the driver's
    // device, data the COM name.
    std::vector<PresentPort> ports;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0;; ++index) {
        char name[256] = {};
        BYTE data[256] = {};
        DWORD nameSize = sizeof name;
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG rc = ::RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        std::string com(reinterpret_cast<const char*>(data), dataSize);
        while (!com.empty() && com.back() == '\0') com.pop_back();
        if (com.empty()) continue;
        ports.push_back({com, {std::string(name, nameSize)}});
    }
    ::RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), [](const PresentPort& a, const PresentPort& b) {
        const int na = ComPortNumber(a.name);
        const int nb = ComPortNumber(b.name);
        return na != nb ? na < nb : a.name < b.name;
    });
    return ports;
}

}  // namespace zb
