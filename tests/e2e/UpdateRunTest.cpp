// The unattended update run of the real program against the device emulator: one
// case per outcome, each in a fresh working directory, checking "status.dat" byte
// for byte, what the device was sent and, after a successful run, its flash.
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
                             case ErrorOutput::File:
                             case ErrorOutput::Terminal: break;
                             }
                             return "File";
                         });

// The system's own device name, opened as given: on Linux an absolute path (here the
// emulator's link, followed to its pseudo-terminal), on Windows the device namespace.
TEST(UpdateRun, NativeDeviceNameIsUpdatedAsGiven) {
    DevSimProcess device;
    const std::string name = testsWindowsProgram() ? "\\\\.\\COM3" : device.devicePath().string();
    ProgramRun run({.arguments = {name},
                    .deviceDir = device.dir().string(),
                    .lineHeardNothing = [&device] {
                        const auto lines = device.transcript();
                        return std::none_of(lines.begin(), lines.end(), [](const auto& l) { return l.dir == "rx"; });
                    }});
    EXPECT_EQ(run.wait(), 0);
    device.stop();
    EXPECT_EQ(run.status(), "OK");
    EXPECT_NE(run.standardError().find(name + " active\n"), std::string::npos) << run.standardError();
}

// On a terminal the share of each phase grows in the phase's own line; to a pipe or
// a file the lines stay whole, as callers that parse them expect.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

TEST(UpdateRunProgress, TerminalShowsTheShareOfEachPhaseInOneLine) {
    if (testsWindowsProgram()) GTEST_SKIP() << "the Windows program shows its progress in its window";
    UpdateRun run({}, {.errorOutput = ErrorOutput::Terminal});
    EXPECT_EQ(run.program.status(), "OK");
    const std::vector<std::string> lines = linesOf(run.program.standardError());
    for (const std::string phase : {"Erasing Flash...", "Writing Flash..."}) {
        const auto line = std::find_if(lines.begin(), lines.end(),
                                       [&](const std::string& l) { return l.starts_with(phase); });
        ASSERT_NE(line, lines.end()) << run.program.standardError();
        // Its first text, then each share over it, ending complete.
        EXPECT_TRUE(line->starts_with(phase + "\r" + phase + " 0 %\r")) << *line;
        EXPECT_TRUE(line->ends_with("\r" + phase + " 100 %")) << *line;
    }
}

// Standard error of a clean run against the emulator, as the program wrote it before
// it showed progress on terminals.
constexpr const char* kCleanRunLines =
    "COM3 active\n"
    "activateBootloader\n"
    "SetBreak\n"
    "ClearBreak\n"
    "Baud rate established\n"
    "getBootloaderInfo OK\n"
    "Boot block size: 0512 bytes\n"
    "Bootloader version 1.02\n"
    "Bootloader start address 00F800\n"
    "Erasing Flash...\n"
    "Erasing complete...\n"
    "Writing Flash...\n"
    "Writing complete...\n";

TEST(UpdateRunProgress, FileGetsTheWholeLinesOnly) {
    // A runtime folder of the user's own, else Qt says that it made one.
    char runtime[] = "/tmp/zbxdg.XXXXXX";
    ASSERT_NE(::mkdtemp(runtime), nullptr);
    {
        UpdateRun run({}, {.environment = {std::string("XDG_RUNTIME_DIR=") + runtime}});
        EXPECT_EQ(run.program.status(), "OK");
        EXPECT_EQ(run.program.standardError(), kCleanRunLines);
    }
    std::filesystem::remove_all(runtime);
}

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

// The adapter is pulled after the reply to write block 3: the line hangs up, reads
// fail and writes are refused. The program ends by itself with the step's result, at
// once rather than after the write time-out (2.5 s), says why, and (with a faster
// line) does not start again at 19200 baud on a device that is not there.
struct UnpluggedRun {
    DevSimProcess device;
    ProgramRun program;
    std::optional<int> exitStatus;
    std::chrono::steady_clock::duration afterUnplug{};

    explicit UnpluggedRun(ProgramRun::Options options)
        : device({"--no-app", "--unplug-after", "3"}), program(UpdateRun::withPort(std::move(options), device)) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!unplugged() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto unpluggedAt = std::chrono::steady_clock::now();
        exitStatus = program.wait();
        afterUnplug = std::chrono::steady_clock::now() - unpluggedAt;
        device.stop();
    }
    bool unplugged() const {
        const auto lines = device.transcript();
        return std::any_of(lines.begin(), lines.end(), [](const auto& l) { return l.dir == "--" && l.kind == "unplug"; });
    }
    void expectEndedAtOnceWithWritingError() {
        EXPECT_TRUE(unplugged());
        EXPECT_EQ(exitStatus, 0);
        EXPECT_EQ(program.status(), "Error during writing");
        EXPECT_LT(afterUnplug, std::chrono::milliseconds(1500)) << "waited out a time-out on a line that hung up";
        const std::string err = program.standardError();
        const std::string gone = "COM3: the device is gone (unplugged?)\n";
        ASSERT_NE(err.find(gone), std::string::npos) << err;
        EXPECT_EQ(err.find(gone), err.rfind(gone)) << "said once";
        EXPECT_EQ(err.find("Falling back"), std::string::npos) << err;
        EXPECT_EQ(Received(device).frames(kWriteCommand), 3u);
    }
};

TEST(UpdateRun, DeviceUnpluggedDuringTheWriteBlocksEndsAtOnceWithWritingError) {
    UnpluggedRun run({});
    run.expectEndedAtOnceWithWritingError();
}

// --- a faster line on request (ZBUPDATER_BAUD) -------------------------------------

ProgramRun::Options fastLine(const std::string& rate) {
    ProgramRun::Options options;
    options.environment = {"ZBUPDATER_BAUD=" + rate};
    return options;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The host's speed for each of its frames, in order.
std::vector<unsigned> frameSpeeds(const Received& sent) {
    std::vector<unsigned> speeds;
    for (const auto& l : sent.lines) {
        if (Received::frameCommand(l) >= 0) speeds.push_back(l.baud);
    }
    return speeds;
}

// The application firmware listens at 19200 only: no byte may reach it at another.
bool applicationHeardAnotherSpeed(const Received& sent) {
    return std::any_of(sent.lines.begin(), sent.lines.end(), [](const TranscriptLine& l) {
        return l.dir == "--" && l.kind == "garbled" && l.text.rfind("application", 0) == 0;
    });
}

TEST(FastLine, UpdateAt115200WritesTheFlashByteForByte) {
    FlashFile flash;
    UpdateRun run({"--flash-in", flash.path()}, fastLine("115200"));
    EXPECT_EQ(run.program.status(), "OK");
    expectUpdatedFlash(run.device);
    const Received sent(run.device);
    EXPECT_EQ(sent.shortCommands(kReset), 1u);
    EXPECT_FALSE(applicationHeardAnotherSpeed(sent));
    // Information, every erase and every write at the fast rate, as the device's
    // side of the line shows it; one erase and one write pass.
    const auto speeds = frameSpeeds(sent);
    EXPECT_EQ(speeds.size(), 1 + kBootStart / 1024 + (kBootStart + 3583) / 3584);
    EXPECT_TRUE(std::all_of(speeds.begin(), speeds.end(), [](unsigned b) { return b == 115200; }));
    EXPECT_TRUE(contains(run.program.standardError(), "\nLine speed 115200 baud\n")) << run.program.standardError();
    EXPECT_FALSE(contains(run.program.standardError(), "Falling back"));
}

TEST(FastLine, DeviceUnpluggedDuringTheWriteBlocksEndsAtOnceWithoutFallingBack) {
    UnpluggedRun run(fastLine("115200"));
    run.expectEndedAtOnceWithWritingError();
}

TEST(FastLine, DeviceThatCannotTakeTheRateFallsBackTo19200AndEndsOk) {
    FlashFile flash;
    UpdateRun run({"--max-baud", "19200", "--flash-in", flash.path()}, fastLine("115200"));
    EXPECT_EQ(run.program.status(), "OK");
    expectUpdatedFlash(run.device);
    const Received sent(run.device);
    EXPECT_FALSE(applicationHeardAnotherSpeed(sent));
    const auto speeds = frameSpeeds(sent);
    EXPECT_FALSE(speeds.empty());
    EXPECT_TRUE(std::all_of(speeds.begin(), speeds.end(), [](unsigned b) { return b == 19200; }));
    EXPECT_TRUE(contains(run.program.standardError(), "\nFalling back to 19200 baud\n"))
        << run.program.standardError();
}

TEST(FastLine, NoiseDuringTheWriteBlocksRestartsAt19200AndWritesEverythingAgain) {
    // A bit flipped in the third write block: the fast attempt fails there, with the
    // image already changed in place by the writer; the second attempt must still
    // write the reset instruction below the bootloader and the jump at address 0.
    const HostByteCounts counts;
    FlashFile flash;
    const std::uint64_t inThirdBlock = counts.before(kWriteCommand, 3) + 100;
    UpdateRun run({"--flip-bit", std::to_string(inThirdBlock), "--flash-in", flash.path()}, fastLine("115200"));
    EXPECT_EQ(run.program.status(), "OK");
    EXPECT_TRUE(hasFault(run.device, "flip"));
    expectUpdatedFlash(run.device);
    const Received sent(run.device);
    EXPECT_EQ(sent.shortCommands(kReset), 1u);
    EXPECT_EQ(sent.frames(kEraseCommand), 2 * (kBootStart / 1024));
    // Two blocks before the spoilt one (which fails its CRC at the device), then all.
    EXPECT_EQ(sent.frames(kWriteCommand), 2 + (kBootStart + 3583) / 3584);
    const auto speeds = frameSpeeds(sent);
    ASSERT_FALSE(speeds.empty());
    EXPECT_EQ(speeds.back(), 19200u) << "the second attempt runs at 19200";
    EXPECT_TRUE(contains(run.program.standardError(), "\nFalling back to 19200 baud\n"));
}

class FastLineRefused : public ::testing::TestWithParam<const char*> {};

TEST_P(FastLineRefused, ValueIsIgnoredAndTheRunIsAsWithout) {
    UpdateRun run({}, fastLine(GetParam()));
    EXPECT_EQ(run.program.status(), "OK");
    const Received sent(run.device);
    const auto speeds = frameSpeeds(sent);
    EXPECT_TRUE(std::all_of(speeds.begin(), speeds.end(), [](unsigned b) { return b == 19200; }));
    const std::string errors = run.program.standardError();
    EXPECT_TRUE(contains(errors, std::string("ZBUPDATER_BAUD \"") + GetParam() + "\" ignored")) << errors;
    EXPECT_FALSE(contains(errors, "Line speed"));
}

INSTANTIATE_TEST_SUITE_P(Values, FastLineRefused, ::testing::Values("9600", "fast"));

}  // namespace
}  // namespace zb::test
