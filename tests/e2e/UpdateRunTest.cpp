// The unattended update run of the real program against the device emulator: one
// case per outcome, each in a fresh working directory, checking "status.dat" byte
// for byte, what the device was sent and, after a successful run, its flash.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DevSimProcess.h"
#include "HexLineTable.h"
#include "HexParser.h"
#include "ProgramRun.h"

namespace zb::test {
namespace {

constexpr std::uint32_t kBootStart = 0xF800;  // the emulator's bootloader address
constexpr std::uint8_t kProbe = 0x81;
constexpr std::uint8_t kReset = 0x93;
constexpr std::uint8_t kEraseCommand = 0x03;
constexpr std::uint8_t kWriteCommand = 0x04;

// The application area as a successful update leaves it: the carried image with its
// reset instruction moved to just below the bootloader and a GOTO to the bootloader
// (two words, low byte first) at address 0.
std::vector<std::uint8_t> expectedApplicationArea() {
    FlashImageBytes image;
    ClearFlashImage(image);
    std::vector<std::string> lines(HexLineTable, HexLineTable + HexLineCount);
    HexParser parser;
    EXPECT_TRUE(parser.ParseHexLines(lines, image));
    std::copy_n(image.begin(), 4, image.begin() + kBootStart - 4);
    const std::uint32_t word = (kBootStart + 2) / 2;
    image[0] = static_cast<std::uint8_t>(word & 0xFF);
    image[1] = 0xEF;
    image[2] = static_cast<std::uint8_t>((word >> 8) & 0xFF);
    image[3] = static_cast<std::uint8_t>(((word >> 16) & 0xFF) | 0xF0);
    return {image.begin(), image.begin() + kBootStart};
}

// What the host sent, as the emulator recorded it.
struct Received {
    std::vector<TranscriptLine> lines;

    explicit Received(DevSimProcess& device) : lines(device.transcript()) {}

    // A short command: the application takes it as such, the bootloader as junk.
    static bool isShortCommand(const TranscriptLine& l, std::uint8_t code) {
        return l.dir == "rx" && (l.kind == "short" || l.kind == "junk") && !l.bytes.empty() &&
               l.bytes[0] == code;
    }
    // The command byte of a bootloader frame, unescaped (0x04 is sent as DLE 0x04).
    static int frameCommand(const TranscriptLine& l) {
        if (l.dir != "rx" || l.kind != "frame" || l.bytes.size() < 3) return -1;
        return l.bytes[1] == 0x05 ? l.bytes[2] : l.bytes[1];
    }

    std::size_t shortCommands(std::uint8_t code) const {
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [code](const auto& l) { return isShortCommand(l, code); }));
    }
    std::size_t syncs() const {
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [](const auto& l) { return l.dir == "rx" && l.kind == "sync"; }));
    }
    std::size_t frames(std::uint8_t command) const {
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [command](const auto& l) { return frameCommand(l) == command; }));
    }
    // Everything the host sent after its first short command `code`.
    std::vector<TranscriptLine> after(std::uint8_t code) const {
        auto at = std::find_if(lines.begin(), lines.end(),
                               [code](const auto& l) { return isShortCommand(l, code); });
        std::vector<TranscriptLine> rest;
        if (at == lines.end()) return rest;
        std::copy_if(std::next(at), lines.end(), std::back_inserter(rest),
                     [](const auto& l) { return l.dir == "rx"; });
        return rest;
    }
};

// Runs `zbupdater COM3` against the emulator until it ends.
struct UpdateRun {
    DevSimProcess device;
    ProgramRun program;
    std::optional<int> exitStatus;

    explicit UpdateRun(std::vector<std::string> deviceOptions)
        : device(std::move(deviceOptions)),
          program({.arguments = {"COM3"}, .deviceDir = device.dir().string()}),
          exitStatus(program.wait()) {
        device.stop();
        // Every run ends with exit status 0 and writes exactly one result text.
        EXPECT_EQ(exitStatus, 0);
        EXPECT_EQ(program.statusReports(), 1) << program.status();
    }
};

// A flash file for the emulator: the application area programmed to 0x00, the rest
// (the bootloader) a pattern that the update must leave alone.
class FlashFile {
public:
    FlashFile() {
        char name[] = "/tmp/zbflash.XXXXXX";
        const int fd = ::mkstemp(name);
        ::close(fd);
        path_ = name;
        std::vector<char> bytes(kFlashImageSize, 0x5A);
        std::fill_n(bytes.begin(), kBootStart, '\0');
        std::ofstream(path_, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ~FlashFile() { ::unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void expectUpdatedFlash(DevSimProcess& device) {
    const std::vector<std::uint8_t> flash = device.flash();
    ASSERT_EQ(flash.size(), kFlashImageSize);
    const std::vector<std::uint8_t> area(flash.begin(), flash.begin() + kBootStart);
    EXPECT_TRUE(area == expectedApplicationArea()) << "application area differs from the carried image";
    EXPECT_TRUE(std::all_of(flash.begin() + kBootStart, flash.end(), [](std::uint8_t b) { return b == 0x5A; }))
        << "bootloader area changed";
}

// --- runs that end with "OK" -------------------------------------------------------

TEST(UpdateRun, ApplicationIsResetAndTheFlashWrittenByteForByte) {
    FlashFile flash;
    UpdateRun run({"--flash-in", flash.path()});
    EXPECT_EQ(run.program.status(), "OK");
    expectUpdatedFlash(run.device);
    const Received sent(run.device);
    // The run starts once: one probe, one reset, one erase pass, one write pass.
    EXPECT_EQ(sent.shortCommands(kProbe), 1u);
    EXPECT_EQ(sent.shortCommands(kReset), 1u);
    EXPECT_EQ(sent.frames(kEraseCommand), kBootStart / 1024);
    EXPECT_EQ(sent.frames(kWriteCommand), (kBootStart + 3583) / 3584);
}

TEST(UpdateRun, DeviceInItsBootloaderGetsNoResetCommand) {
    FlashFile flash;
    UpdateRun run({"--no-app", "--flash-in", flash.path()});
    EXPECT_EQ(run.program.status(), "OK");
    expectUpdatedFlash(run.device);
    const Received sent(run.device);
    EXPECT_EQ(sent.shortCommands(kProbe), 1u);
    EXPECT_EQ(sent.shortCommands(kReset), 0u);
    // After the unanswered probe the next thing sent is the synchronisation byte.
    const auto rest = sent.after(kProbe);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.front().kind, "sync");
}

TEST(UpdateRun, FailedActivationWithAnsweringBootloaderStillEndsOk) {
    // No echo for all ten synchronisation bytes: activation fails, and the second
    // information query finds the bootloader at the line speed in force.
    UpdateRun run({"--no-app", "--no-echo", "10"});
    EXPECT_EQ(run.program.status(), "OK");
    const Received sent(run.device);
    EXPECT_EQ(sent.syncs(), 10u);
    EXPECT_EQ(sent.frames(kWriteCommand), (kBootStart + 3583) / 3584);
}

// --- runs that fail --------------------------------------------------------------

TEST(UpdateRun, UnansweredResetEndsWithResetErrorAndNothingAfterIt) {
    UpdateRun run({"--no-reset-reply"});
    EXPECT_EQ(run.program.status(), "Orvix V4 reset error");
    const Received sent(run.device);
    EXPECT_EQ(sent.shortCommands(kReset), 1u);
    EXPECT_TRUE(sent.after(kReset).empty()) << "no break, synchronisation or frame after the reset";
}

TEST(UpdateRun, SilentDeviceEndsWithoutBootloader) {
    UpdateRun run({"--no-app", "--silent-bootloader"});
    EXPECT_EQ(run.program.status(), "I can't find the bootloader");
    const Received sent(run.device);
    EXPECT_EQ(sent.frames(kEraseCommand), 0u);
    EXPECT_EQ(sent.frames(kWriteCommand), 0u);
}

TEST(UpdateRun, LostEraseCommandEndsWithErasingErrorBeforeAnyWrite) {
    UpdateRun run({"--no-app", "--erase-fail", "3:silent"});
    EXPECT_EQ(run.program.status(), "Error during erasing");
    const Received sent(run.device);
    EXPECT_EQ(sent.frames(kEraseCommand), 3u);
    EXPECT_EQ(sent.frames(kWriteCommand), 0u);
}

TEST(UpdateRun, WriteReplyWithBadCrcEndsWithWritingError) {
    UpdateRun run({"--no-app", "--write-fail", "2:badcrc"});
    EXPECT_EQ(run.program.status(), "Error during writing");
    const Received sent(run.device);
    EXPECT_EQ(sent.frames(kWriteCommand), 2u);
}

}  // namespace
}  // namespace zb::test
