// The platform's side of port names: its native device names, whether such a name
// is a serial line, the system's reasons in words, and the serial ports present.
// One implementation file per platform (PosixPortNames.cpp, Win32PortNames.cpp),
// chosen by the build. Nothing here opens a device.
#pragma once

#include <string>
#include <vector>

namespace zb {

// True for a name in the platform's own form, which is opened as given: an
// absolute path on Linux ("/dev/ttyUSB0", "/dev/serial/by-id/..."), the device
// namespace "\\.\NAME" on Windows.
bool IsNativePortName(const std::string& name);

// An example of the native form, for messages.
const char* NativePortNameExample();

// Whether the device that `path` names (links followed) is a serial line, decided
// without opening it. False with the system's error in `osError`: the path does
// not exist, or (ENOTTY) it is no character device of the tty class.
bool IsSerialLine(const std::string& path, int& osError);

// The reason an open failed, in words, from the system's error of the failed call.
std::string DescribeOpenError(int osError);
// The system's own words for its error number (errno, or Windows' last error).
std::string DescribeOsError(int osError);

// A serial port present on this machine: the name to give the program, and the
// other names that reach the same port (a COMn name, symbolic links, the system's
// own device name).
struct PresentPort {
    std::string name;
    std::vector<std::string> aliases;
};

// The serial ports present, found without opening any, in a stable order.
std::vector<PresentPort> ListPresentPorts();

}  // namespace zb
