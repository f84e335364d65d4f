// Port names and the ports present on Linux, read from sysfs and procfs: nothing
// here opens a device (opening a port raises DTR on many adapters and can reset the
// device behind it).
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "PortNames.h"
#include "SysfsTty.h"
#include "TZbComm.h"

namespace zb {

namespace fs = std::filesystem;

namespace {

std::string readFirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The name a sysfs link points at ("tty" for .../class/tty), "" without the link.
std::string linkTargetName(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string() : target.filename().string();
}

// /proc/tty/drivers lists every tty driver with its major number and its range of
// minor numbers: "name  /dev/node  major  minor[-minor]  type".
bool inTtyDriverRange(unsigned major, unsigned minor) {
    std::ifstream in("/proc/tty/drivers");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string name, node, range;
        unsigned driverMajor = 0;
        if (!(fields >> name >> node >> driverMajor >> range) || driverMajor != major) continue;
        const std::size_t dash = range.find('-');
        const unsigned long first = std::strtoul(range.c_str(), nullptr, 10);
        const unsigned long last = dash == std::string::npos ? first : std::strtoul(range.c_str() + dash + 1, nullptr, 10);
        if (minor >= first && minor <= last) return true;
    }
    return false;
}

// A character device of the tty class. A registered device names its class in
// sysfs; pseudo-terminal slaves are created by devpts without a sysfs entry, and
// for them (and any other unregistered number) the tty drivers' own number ranges
// decide. Device numbers are never shared between classes, so either answer holds.
bool isTtyDevice(dev_t device) {
    const unsigned major = ::major(device);
    const unsigned minor = ::minor(device);
    const fs::path entry = "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor);
    std::error_code ec;
    if (fs::exists(entry, ec)) return linkTargetName(entry / "subsystem") == "tty";
    return inTtyDriverRange(major, minor);
}

// The driver behind a tty's device. From Linux 6.5 on a serial port's device is a
// port of the serial-base bus (driver "port", under a controller with driver "ctrl");
// the hardware's driver is the one above them.
std::string hardwareDriver(const fs::path& ttyEntry) {
    std::error_code ec;
    fs::path device = fs::canonical(ttyEntry / "device", ec);
    if (ec) return {};
    for (int depth = 0; depth < 4 && !device.empty(); ++depth) {
        const std::string bus = linkTargetName(device / "subsystem");
        const std::string driver = linkTargetName(device / "driver");
        if (bus != "serial-base") return driver;
        device = device.parent_path();
    }
    return {};
}

struct Found {
    std::string device;
    std::vector<std::string> aliases;
};

class PortTable {
public:
    // The port with this device number; `path` names it when it is new.
    Found& at(dev_t device, const std::string& path) {
        auto [it, added] = ports_.try_emplace(device);
        if (added) it->second.device = path;
        return it->second;
    }
    std::vector<PresentPort> list() const {
        std::vector<PresentPort> result;
        for (const auto& [device, port] : ports_) result.push_back({port.device, port.aliases});
        std::sort(result.begin(), result.end(),
                  [](const PresentPort& a, const PresentPort& b) { return a.name < b.name; });
        return result;
    }

private:
    std::map<dev_t, Found> ports_;
};

bool deviceNumber(const fs::path& path, dev_t& device) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    device = st.st_rdev;
    return true;
}

// The tty devices with hardware behind them; without ZBCOMM_DEVICE_DIR, COMn is
// /dev/ttyS<n-1>.
void addHardwarePorts(PortTable& table, bool comIsTtyS) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
        const std::string name = entry.path().filename().string();
        if (!fs::exists(entry.path() / "device", ec) || IsPlaceholderTty(entry.path())) continue;
        const fs::path node = "/dev/" + name;
        dev_t device{};
        if (!deviceNumber(node, device)) continue;
        Found& port = table.at(device, node.string());
        if (comIsTtyS && name.rfind("ttyS", 0) == 0) {
            const std::string digits = name.substr(4);
            const bool number = !digits.empty() && digits.size() <= 3 &&
                                std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (number && std::stoi(digits) < 256) port.aliases.push_back("COM" + std::to_string(std::stoi(digits) + 1));
        }
    }
}

// Links in `folder` (the by-id links, or the COMn links of ZBCOMM_DEVICE_DIR) that
// reach a serial line; `comNames` gives each link's COMn name as an alias too.
void addLinks(PortTable& table, const fs::path& folder, bool comNames) {
    std::error_code ec;
    std::vector<fs::path> links;
    for (const auto& entry : fs::directory_iterator(folder, ec)) links.push_back(entry.path());
    std::sort(links.begin(), links.end());
    for (const fs::path& link : links) {
        const std::string name = link.filename().string();
        if (comNames && ComPortNumber(name) == 0) continue;
        dev_t device{};
        if (!deviceNumber(link, device) || !isTtyDevice(device)) continue;
        const fs::path target = fs::canonical(link, ec);
        Found& port = table.at(device, ec ? link.string() : target.string());
        if (comNames) port.aliases.push_back(name);
        port.aliases.push_back(link.string());
    }
}

}  // namespace

bool IsPlaceholderTty(const fs::path& ttyEntry) {
    // The 8250 driver registers its configured number of ttyS nodes whether a UART
    // is there or not; a placeholder is one of the serial8250 platform device whose
    // port type is 0 (unknown).
    if (hardwareDriver(ttyEntry) != "serial8250") return false;
    return readFirstLine(ttyEntry / "type") == "0";
}

bool IsNativePortName(const std::string& name) { return !name.empty() && name.front() == '/'; }

const char* NativePortNameExample() { return "/dev/ttyUSB0"; }

bool IsSerialLine(const std::string& path, int& osError) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        osError = errno;
        return false;
    }
    if (!S_ISCHR(st.st_mode) || !isTtyDevice(st.st_rdev)) {
        osError = ENOTTY;
        return false;
    }
    return true;
}

std::string DescribeOpenError(int osError) {
    switch (osError) {
        case EACCES:
        case EPERM: return "permission denied (on most Linux systems the user must be in the dialout group)";
        case ENOENT:
        case ENODEV:
        case ENXIO: return "no such device";
        case EBUSY:
        case EWOULDBLOCK: return "in use by another program";
        case ENOTTY: return "not a serial line";
        default: return DescribeOsError(osError);
    }
}

std::string DescribeOsError(int osError) {
    std::string text = std::strerror(osError);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::vector<PresentPort> ListPresentPorts() {
    PortTable table;
    const char* dir = std::getenv("ZBCOMM_DEVICE_DIR");
    const bool deviceDir = dir != nullptr && *dir != '\0';
    addHardwarePorts(table, !deviceDir);
    addLinks(table, "/dev/serial/by-id", false);
    if (deviceDir) addLinks(table, dir, true);
    return table.list();
}

}  // namespace zb
