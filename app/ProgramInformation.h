// The three informational arguments, the same for every front end: a front end calls
// InformationalText with the command line before it sets anything up, and when a
// text comes back it prints it on standard output and ends with exit status 0,
// without opening a port, creating a window or touching "status.dat".
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zb {

// `arguments` are the command-line arguments after the program name. When the only
// one is exactly "--version": the program's name and version on the first line, the
// carried firmware's identity on the second. When it is exactly "--help": a short
// usage. When it is exactly "--ports": the serial ports present, one a line (none:
// an empty text), found without opening any. Anything else gives nothing: the
// first argument is a port name as always.
std::optional<std::string> InformationalText(const std::vector<std::string>& arguments);

// True when the environment asks for the port's traffic log: ZBUPDATER_TRAFFIC_LOG
// is exactly "1".
bool TrafficLogRequested();

// The faster line that ZBUPDATER_BAUD asks for: "38400", "57600" or "115200" as the
// bootloader's speed. Empty when the variable is unset or empty, and for any other
// value, which is then put into `ignored`.
std::string RequestedFastBaudRate(std::string& ignored);

}  // namespace zb
