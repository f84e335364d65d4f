// The unattended update run of the real program against the device emulator: one
// case per outcome, each in a fresh working directory, checking "status.dat" byte
// for byte, what the device was sent and, after a successful run, its flash.
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "DevSimProcess.h"
#include "ProgramRun.h"

namespace zb::test {
namespace {

constexpr std::uint32_t kBootStart = 0xF800;  // the emulator's bootloader address
constexpr std::size_t kFlashImageSize = 0x20000;  // the device's program memory
constexpr std::uint8_t kProbe = 0x81;
constexpr std::uint8_t kReset = 0x93;
constexpr std::uint8_t kEraseCommand = 0x03;
constexpr std::uint8_t kWriteCommand = 0x04;

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

    explicit UpdateRun(std::vector<std::string> deviceOptions, ProgramRun::Options options = {},
                       std::chrono::milliseconds limit = std::chrono::seconds(60))
        : device(std::move(deviceOptions)),
          program(withPort(std::move(options), device)),
          exitStatus(program.wait(limit)) {
        device.stop();
        // Every run ends with exit status 0 and writes exactly one result text.
        EXPECT_EQ(exitStatus, 0);
        EXPECT_EQ(program.statusReports(), 1) << program.status();
    }

    static ProgramRun::Options withPort(ProgramRun::Options options, const DevSimProcess& device) {
        options.arguments = {"COM3"};
        options.deviceDir = device.dir().string();
        options.lineHeardNothing = [&device] {
            const auto lines = device.transcript();
            return std::none_of(lines.begin(), lines.end(), [](const auto& l) { return l.dir == "rx"; });
        };
        return options;
    }
};

// Bytes the host sends, counted from the start of a clean run as the emulator saw
// them: where a fault has to strike to hit a given command.
class HostByteCounts {
public:
    HostByteCounts() {
        UpdateRun clean({});
        EXPECT_EQ(clean.program.status(), "OK") << "the reference run must succeed";
        lines_ = clean.device.transcript();
    }
    // Bytes up to the first byte of frame number `n` (1-based) of `command`.
    std::uint64_t before(std::uint8_t command, std::size_t n) const {
        std::uint64_t bytes = 0;
        std::size_t seen = 0;
        for (const auto& line : lines_) {
            if (line.dir != "rx") continue;
            if (Received::frameCommand(line) == command && ++seen == n)
                return bytes;
            bytes += line.bytes.size();
        }
        ADD_FAILURE() << "the clean run has no frame " << n << " of command " << int{command};
        return 0;
    }

private:
    std::vector<TranscriptLine> lines_;
};

bool hasFault(DevSimProcess& device, const std::string& text) {
    const auto lines = device.transcript();
    return std::any_of(lines.begin(), lines.end(), [&](const TranscriptLine& l) {
        return l.dir == "--" && l.kind == "fault" && l.text.find(text) != std::string::npos;
    });
}

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

// The application area must hold the carried HEX file as a reader of its own (not the
// updater's parser) sees it, with the reset instruction moved to just below the
// bootloader and a jump to the bootloader at address 0; the bootloader's own bytes
// must be as they were.
void expectUpdatedFlash(DevSimProcess& device) {
    const std::vector<std::uint8_t> flash = device.flash();
    ASSERT_EQ(flash.size(), kFlashImageSize);
    const std::string command = std::string(ZB_SYSTEM_PYTHON) + " '" + EXPECTED_FLASH_SCRIPT + "' '" +
                                UPDATE_HEX_FILE + "' '" + (device.dir() / "flash.bin").string() +
                                "' --boot-start " + std::to_string(kBootStart) + " --application-area 2>&1";
    std::string report;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) report += buffer;
    EXPECT_EQ(::pclose(pipe), 0) << command << "\n" << report;
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

// --- what the caller's plumbing does -------------------------------------------------


using ErrorOutput = ProgramRun::ErrorOutput;

class StandardErrorOutput : public testing::TestWithParam<ErrorOutput> {};

// The copy of the information list on standard error is only a copy: whatever
// becomes of it, the device is written and "status.dat" says "OK".
TEST_P(StandardErrorOutput, ThatFailsOrWaitsNeitherEndsNorHoldsUpTheRun) {
    FlashFile flash;
    UpdateRun run({"--flash-in", flash.path()}, {.errorOutput = GetParam()});
    EXPECT_EQ(run.program.status(), "OK");
    expectUpdatedFlash(run.device);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StandardErrorOutput,
                         testing::Values(ErrorOutput::PipeWithoutReader, ErrorOutput::StalledPipe,
                                         ErrorOutput::Closed, ErrorOutput::FullDisk),
                         [](const testing::TestParamInfo<ErrorOutput>& kind) {
                             switch (kind.param) {
                             case ErrorOutput::PipeWithoutReader: return "PipeWithoutReader";
                             case ErrorOutput::StalledPipe: return "StalledPipe";
                             case ErrorOutput::Closed: return "Closed";
                             case ErrorOutput::FullDisk: return "FullDisk";
                             case ErrorOutput::File: break;
                             }
                             return "File";
                         });

// A display that names no server (a stale forwarded session): the program runs
// without a window, as it does without a display.
TEST(UpdateRunWithoutDisplay, DisplayWithoutServerStillUpdatesTheDevice) {
    FlashFile flash;
    UpdateRun run({"--flash-in", flash.path()}, {.display = ":97"});
    EXPECT_EQ(run.program.status(), "OK");
    expectUpdatedFlash(run.device);
}

// --- a reply is only what arrives after its command ------------------------------

TEST(UpdateRun, DuplicateWriteReplyCannotConfirmALaterLostBlock) {
    // Block 1 is answered twice; block 18, the last, is spoilt on the line (one
    // flipped bit in its data), so the device refuses it and answers nothing. The
    // spare copy of the first reply must not shift every later reply onto the next
    // block and let the lost one pass.
    const HostByteCounts counts;
    const std::uint64_t spoilt = counts.before(kWriteCommand, 18) + 100;
    UpdateRun run({"--write-reply-twice", "1", "--flip-bit", std::to_string(spoilt)});
    EXPECT_TRUE(hasFault(run.device, "reply sent twice"));
    EXPECT_TRUE(hasFault(run.device, "from the host flipped"));
    EXPECT_EQ(run.program.status(), "Error during writing");
    const Received sent(run.device);
    EXPECT_EQ(sent.frames(kWriteCommand), 17u) << "blocks 1 to 17 arrived intact";
}

TEST(UpdateRun, DuplicateEraseReplyCannotConfirmALaterLostErase) {
    UpdateRun run({"--erase-reply-twice", "1", "--erase-fail", "5:silent"});
    EXPECT_TRUE(hasFault(run.device, "reply sent twice"));
    EXPECT_EQ(run.program.status(), "Error during erasing");
    const Received sent(run.device);
    EXPECT_EQ(sent.frames(kEraseCommand), 5u);
    EXPECT_EQ(sent.frames(kWriteCommand), 0u);
}

// --- a line that stops taking bytes ------------------------------------------------
//
// The emulator holds the host's output after a number of bytes, as a device holding
// CTS low does with hardware flow control left on. The program must end by itself
// within its time-outs (well inside the bound here) with that step's result.

constexpr auto kHeldLineBound = std::chrono::seconds(30);
// The line is held a few bytes into the frame after the last one that gets through,
// not at its first byte: a run under load may send one more synchronisation byte
// than the reference run did, and the frames before the hold must still be whole.
constexpr std::uint64_t kIntoEraseFrame = 4;
constexpr std::uint64_t kIntoWriteFrame = 100;

TEST(UpdateRun, LineHeldFromTheStartEndsWithoutBootloader) {
    UpdateRun run({"--hold-after", "0"}, {}, kHeldLineBound);
    EXPECT_EQ(run.program.status(), "I can't find the bootloader");
    const Received sent(run.device);
    EXPECT_EQ(std::count_if(sent.lines.begin(), sent.lines.end(), [](const auto& l) { return l.dir == "rx"; }), 0)
        << "nothing reached the device";
}

TEST(UpdateRun, LineHeldAfterTheTenthEraseEndsWithErasingError) {
    const HostByteCounts counts;
    UpdateRun run({"--hold-after", std::to_string(counts.before(kEraseCommand, 11) + kIntoEraseFrame)}, {}, kHeldLineBound);
    EXPECT_EQ(run.program.status(), "Error during erasing");
    const Received sent(run.device);
    EXPECT_EQ(sent.frames(kEraseCommand), 10u);
    EXPECT_EQ(sent.frames(kWriteCommand), 0u);
}

TEST(UpdateRun, LineHeldDuringTheWriteBlocksEndsWithWritingError) {
    const HostByteCounts counts;
    UpdateRun run({"--hold-after", std::to_string(counts.before(kWriteCommand, 6) + kIntoWriteFrame)}, {}, kHeldLineBound);
    EXPECT_EQ(run.program.status(), "Error during writing");
    const Received sent(run.device);
    EXPECT_EQ(sent.frames(kWriteCommand), 5u);
}

// --- a run that never reports ------------------------------------------------------

TEST(UpdateRun, KilledWhileWritingLeavesNoEarlierResult) {
    // The folder holds an earlier device's "OK"; this run is killed in its write
    // blocks, as by a caller's own time-out. The caller must not find that "OK".
    DevSimProcess device({"--write-ms", "200"});
    ProgramRun program(UpdateRun::withPort({.earlierStatus = "OK"}, device));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Received(device).frames(kWriteCommand) < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(Received(device).frames(kWriteCommand), 2u) << "the writing did not start";
    program.kill();
    EXPECT_FALSE(program.statusExists()) << program.status();
}

// --- a device that goes away -------------------------------------------------------

TEST(UpdateRun, DeviceUnpluggedDuringTheWriteBlocksEndsWithWritingError) {
    // The adapter is pulled after the reply to block 3: reads then fail and writes
    // are refused; the program ends by itself with the step's result.
    UpdateRun run({"--no-app", "--unplug-after", "3"});
    EXPECT_EQ(run.program.status(), "Error during writing");
    const Received sent(run.device);
    EXPECT_EQ(sent.frames(kWriteCommand), 3u);
}

}  // namespace
}  // namespace zb::test
