// The 8250 placeholders among the ttyS nodes, on sysfs trees laid out as Linux lays
// them out before and after 6.5 (which put a serial-base port and controller between
// the tty and the hardware).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "PtyPair.h"
#include "SysfsTty.h"

namespace fs = std::filesystem;

namespace {

struct FakeSysfs {
    zb::test::TempWorkDir root;

    fs::path device(const std::string& path, const std::string& bus, const std::string& driver) {
        const fs::path dir = fs::path(root.path()) / "devices" / path;
        fs::create_directories(dir);
        fs::create_symlink(fs::path(root.path()) / "bus" / bus, dir / "subsystem");
        fs::create_symlink(fs::path(root.path()) / "bus" / bus / "drivers" / driver, dir / "driver");
        return dir;
    }
    fs::path tty(const std::string& name, const fs::path& device, const std::string& type) {
        const fs::path entry = fs::path(root.path()) / "class" / "tty" / name;
        fs::create_directories(entry);
        fs::create_symlink(device, entry / "device");
        std::ofstream(entry / "type") << type << "\n";
        return entry;
    }
};

TEST(SysfsTty, OnlyAnUnknownPortOfThe8250PlatformDeviceIsAPlaceholder) {
    FakeSysfs sys;
    const fs::path platform = sys.device("platform/serial8250", "platform", "serial8250");
    const fs::path pnp = sys.device("pnp0/00:04", "pnp", "serial");
    EXPECT_TRUE(zb::IsPlaceholderTty(sys.tty("ttyS1", platform, "0")));
    EXPECT_FALSE(zb::IsPlaceholderTty(sys.tty("ttyS2", platform, "4"))) << "a UART the driver found";
    EXPECT_FALSE(zb::IsPlaceholderTty(sys.tty("ttyS0", pnp, "4")));
    const fs::path usb = sys.device("pci0000:00/usb1/1-1/ttyUSB0", "usb-serial", "ftdi_sio");
    EXPECT_FALSE(zb::IsPlaceholderTty(sys.tty("ttyUSB0", usb, "0")));
}

TEST(SysfsTty, SerialBasePortsAreLookedThrough) {
    FakeSysfs sys;
    sys.device("platform/serial8250", "platform", "serial8250");
    sys.device("platform/serial8250/serial8250:0", "serial-base", "ctrl");
    const fs::path placeholder = sys.device("platform/serial8250/serial8250:0/serial8250:0.1", "serial-base", "port");
    sys.device("pnp0/00:04", "pnp", "serial");
    sys.device("pnp0/00:04/00:04:0", "serial-base", "ctrl");
    const fs::path real = sys.device("pnp0/00:04/00:04:0/00:04:0.0", "serial-base", "port");
    EXPECT_TRUE(zb::IsPlaceholderTty(sys.tty("ttyS1", placeholder, "0")));
    EXPECT_FALSE(zb::IsPlaceholderTty(sys.tty("ttyS0", real, "4")));
}

}  // namespace
