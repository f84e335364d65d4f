#include "ProgramInformation.h"

#include <cstdlib>
#include <cstring>

#include "FirmwareIdentity.h"
#include "PortNames.h"

namespace zb {
namespace {

constexpr const char* kUsage = R"(Usage: zbupdater PORT
Updates the device on serial port PORT with the firmware that this program
carries, and writes the result into "status.dat" in the working directory.
Nobody needs to act during the run. The exit status is 0; it is 2, and
nothing is opened, only when an earlier "status.dat" can be neither removed
nor emptied (a read-only folder or medium).

  PORT        COM1 to COM256, upper case, or the system's own device name:
              on Linux an absolute path such as /dev/ttyUSB0 or
              /dev/serial/by-id/... (a serial line only), on Windows \\.\COM3.
              Any other name opens nothing and ends with "I can't open
              COM-port". Further arguments are ignored.
  --ports     alone: the serial ports present, one a line: the name to give,
              then the other names that reach the same port; opens none
  --version   alone: the program version and the carried firmware
  --help      alone: this text

When a port does not open, a line on standard error gives the name, the
device path tried and the reason.

Result texts in "status.dat" (one, without a line end):
  "OK"                           the application area was erased and written
  "No parameter"                 started without a port name
  "I can't open COM-port"        the port does not exist, is in use or is no
                                 serial line
  "Bad update data format"       the carried firmware image did not parse
  "I can't find the bootloader"  no bootloader answered
  "Error during erasing"         an erase command was not confirmed
  "Error during writing"         a write command was not confirmed
  "Orvix V4 reset error"         the application firmware did not confirm the
                                 reset command
  "COM-port number error"        closing the port before selecting another
                                 one failed

Environment:
  ZBUPDATER_TRAFFIC_LOG=1   write the port's traffic into "ZbComm.log" in the
                            working directory
  ZBCOMM_DEVICE_DIR=DIR     (not on Windows) COMn is DIR/COMn instead of
                            /dev/ttyS<n-1>
  ZBUPDATER_BAUD=RATE       38400, 57600 or 115200: the bootloader exchange
                            runs at RATE after the break (probe and reset stay
                            at 19200); when that fails, the run starts again
                            from the break at 19200. Other values are ignored.
)";

std::string PortListText() {
    std::string text;
    for (const PresentPort& port : ListPresentPorts()) {
        text += port.name;
        for (const std::string& alias : port.aliases) text += "  " + alias;
        text += '\n';
    }
    return text;
}

}  // namespace

std::optional<std::string> InformationalText(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) return std::nullopt;
    if (arguments.front() == "--version") {
        return "zbupdater " ZB_PROGRAM_VERSION "\nCarried firmware: " + std::string(CarriedFirmware.text) + "\n";
    }
    if (arguments.front() == "--help") return std::string(kUsage);
    if (arguments.front() == "--ports") return PortListText();
    return std::nullopt;
}

std::string RequestedFastBaudRate(std::string& ignored) {
    ignored.clear();
    const char* value = std::getenv("ZBUPDATER_BAUD");
    if (value == nullptr || *value == '\0') return {};
    for (const char* rate : {"38400", "57600", "115200"}) {
        if (std::strcmp(value, rate) == 0) return rate;
    }
    ignored = value;
    return {};
}

bool TrafficLogRequested() {
    const char* value = std::getenv("ZBUPDATER_TRAFFIC_LOG");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace zb
