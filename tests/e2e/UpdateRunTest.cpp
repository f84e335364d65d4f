// The unattended update run of the real program against the device emulator: one
// case per outcome, each in a fresh working directory, checking "status.dat" byte
// for byte, what the device was sent and, after a successful run, its flash.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <sstream>
#include <optional>
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

// Bytes before the information reply whose fixed positions read as start address
// 0x8000: only the checked reply may say where the bootloader is, or the upper half
// of the application would be left unwritten.
class NoiseBeforeInformation : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(NoiseBeforeInformation, StillWritesTheWholeApplicationArea) {
    FlashFile flash;
    std::vector<std::string> options = GetParam();
    options.insert(options.end(), {"--flash-in", flash.path()});
    UpdateRun run(options);
    EXPECT_EQ(run.program.status(), "OK");
    expectUpdatedFlash(run.device);
    EXPECT_TRUE(hasFault(run.device, "bytes before the information reply"));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, NoiseBeforeInformation,
    ::testing::Values(
        // Eleven bytes: 24 or more arrive, and positions 7 to 10 are noise.
        std::vector<std::string>{"--info-noise", "1122334455667700800000"},
        // Four bytes and version 0.128: fewer than 24 arrive, and the frame's own
        // version bytes sit at positions 7 and 8.
        std::vector<std::string>{"--info-noise", "11223344", "--version", "0.128"}),
    [](const ::testing::TestParamInfo<std::vector<std::string>>& p) {
        return p.index == 0 ? std::string("ReadFillsUp") : std::string("ReadTimesOut");
    });

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

TEST(UpdateRun, ReadOnlyEarlierResultGivesWayToThisRunsOwn) {
    // An "OK" copied from read-only media into a station's folder; this run's reset
    // goes unanswered. The caller must read that, not the old "OK".
    DevSimProcess device({"--no-reset-reply"});
    // The line is the ordinary user's too.
    ::chmod(device.dir().c_str(), 0755);
    ::chmod(std::filesystem::canonical(device.devicePath()).c_str(), 0666);
    ProgramRun program(UpdateRun::withPort(
        {.asOrdinaryUser = true, .earlierStatus = "OK", .earlierStatusReadOnly = true}, device));
    EXPECT_EQ(program.wait(), 0);
    EXPECT_EQ(program.status(), "Orvix V4 reset error") << program.standardError();
}

// --- a program that was held up ---------------------------------------------------

// The whole program is stopped (its process group gets SIGSTOP, as from a debugger, a
// job-control stop or a suspended virtual machine) once the device has the command
// `reached` looks for, for longer than the wait's time-out, and then goes on. The
// reply came while it was stopped and lay in the port: it ends the wait.
void holdWhenReached(ProgramRun& program, DevSimProcess& device, const std::function<bool(const Received&)>& reached,
                     std::chrono::milliseconds hold) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!reached(Received(device)) && std::chrono::steady_clock::now() < deadline && !program.statusExists())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(reached(Received(device))) << "the command never came; " << program.status();
    ASSERT_EQ(::kill(-program.pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(hold);
    ASSERT_EQ(::kill(-program.pid(), SIGCONT), 0);
}

TEST(HeldUpProgram, StoppedLongerThanAWriteTimeOutStillWritesEverythingOnce) {
    FlashFile flash;
    // Each write takes 300 ms: the stop comes before its reply, and lasts longer
    // than the write's 2.5 s.
    DevSimProcess device({"--write-ms", "300", "--flash-in", flash.path()});
    ProgramRun program(UpdateRun::withPort({}, device));
    holdWhenReached(program, device, [](const Received& r) { return r.frames(kWriteCommand) >= 3; },
                    std::chrono::milliseconds(3500));
    EXPECT_EQ(program.wait(), 0);
    device.stop();
    EXPECT_EQ(program.status(), "OK") << program.standardError();
    expectUpdatedFlash(device);
    EXPECT_EQ(Received(device).frames(kWriteCommand), (kBootStart + 3583) / 3584);
}

TEST(HeldUpProgram, StoppedWhileTheInformationReplyComesTakesItAtTheFirstQuery) {
    constexpr std::uint8_t kInformationCommand = 0x00;
    FlashFile flash;
    // The reply comes 45 ms after the query, within its 50 ms; the program is stopped
    // before that, for half a second. Ten bytes of noise before it make the two fill
    // the query's first reception exactly.
    DevSimProcess device(
        {"--no-app", "--info-ms", "45", "--info-noise", "112233445566778899AA", "--flash-in", flash.path()});
    ProgramRun program(UpdateRun::withPort({}, device));
    holdWhenReached(program, device, [](const Received& r) { return r.frames(kInformationCommand) >= 1; },
                    std::chrono::milliseconds(500));
    EXPECT_EQ(program.wait(), 0);
    device.stop();
    EXPECT_EQ(program.status(), "OK") << program.standardError();
    expectUpdatedFlash(device);
    // A second query would mean the first one's reply was lost.
    EXPECT_EQ(Received(device).frames(kInformationCommand), 1u) << program.standardError();
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

// The adapter is pulled while the line is held in break, where no read is armed and
// nothing notices: ending the break or the first synchronisation byte finds the line
// hung up. One line says so, no attempt follows, and nothing falls back.
TEST(UpdateRun, DeviceUnpluggedDuringTheBreakIsSaidOnceAndNothingFollows) {
    if (testsWindowsProgram()) GTEST_SKIP() << "a write that fails under Wine is the Windows port layer's to confirm";
    for (const std::vector<std::string>& environment :
         {std::vector<std::string>{}, std::vector<std::string>{"ZBUPDATER_BAUD=115200"}}) {
        UpdateRun run({"--unplug-in-break"}, {.environment = environment});
        const std::string err = run.program.standardError();
        EXPECT_EQ(run.program.status(), "I can't find the bootloader") << err;
        const std::string gone = "COM3: the device is gone (unplugged?)\n";
        ASSERT_NE(err.find(gone), std::string::npos) << err;
        EXPECT_EQ(err.find(gone), err.rfind(gone)) << "said once";
        EXPECT_EQ(err.find("Baud rate time out"), std::string::npos) << err;
        EXPECT_EQ(err.find("Repeat establishBaudRate"), std::string::npos) << err;
        EXPECT_EQ(err.find("Falling back"), std::string::npos) << err;
        EXPECT_EQ(err.find("cannot send a break"), std::string::npos) << err;
    }
}

// A driver that refuses the break on a live line (EIO, as ch341 gives for a short
// control transfer, or any other code): said once, and the device, which is in its
// bootloader already, is updated all the same. The refusal alone is no sign that the
// device has gone.
TEST(UpdateRun, BreakRefusedOnALiveLineIsSaidOnceAndTheRunGoesOn) {
    if (testsWindowsProgram()) GTEST_SKIP() << "the refusal is played below the Linux program";
    for (const char* code : {"5", "32", "25"}) {  // EIO, EPIPE, ENOTTY
        FlashFile flash;
        const std::vector<std::string> environment = {std::string("LD_PRELOAD=") + REFUSE_BREAK_LIBRARY,
                                                      std::string("ZB_REFUSE_BREAK=") + code,
                                                      "ASAN_OPTIONS=verify_asan_link_order=0"};
        UpdateRun run({"--no-app", "--flash-in", flash.path()}, {.environment = environment});
        const std::string err = run.program.standardError();
        EXPECT_EQ(run.program.status(), "OK") << "errno " << code << "\n" << err;
        const std::string refused = "COM3 cannot send a break (";
        ASSERT_NE(err.find(refused), std::string::npos) << err;
        EXPECT_EQ(err.find(refused), err.rfind(refused)) << "said once";
        EXPECT_EQ(err.find("cannot end the break"), std::string::npos) << "said once for the break: " << err;
        EXPECT_EQ(err.find("gone"), std::string::npos) << err;
        expectUpdatedFlash(run.device);
    }
}

// --- the Linux window in a process of its own -----------------------------------------

// An X server of the test's own (Xvfb), which the test can take away.
class XServer {
public:
    XServer() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 3);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        // The number and its line end come in writes of their own; Xvfb gives up when
        // the second finds the pipe closed.
        std::string number;
        char c = 0;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(fds[0]);
        if (number.empty() || c != '\n') throw std::runtime_error("Xvfb did not start");
        display_ = ":" + number;
    }
    ~XServer() { kill(); }
    const std::string& display() const { return display_; }
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// An X display that takes every connection and never answers, as a forwarded one
// whose far end has gone silent.
class SilentDisplay {
public:
    SilentDisplay() {
        ::mkdir("/tmp/.X11-unix", 01777);
        for (int number = 190; number < 290 && listener_ < 0; ++number) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            path_ = "/tmp/.X11-unix/X" + std::to_string(number);
            std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 16) == 0) {
                listener_ = fd;
                display_ = ":" + std::to_string(number);
            } else {
                ::close(fd);
            }
        }
        if (listener_ < 0) throw std::runtime_error("no free display number");
    }
    ~SilentDisplay() {
        ::close(listener_);  // the backlog holds the connections, unanswered
        ::unlink(path_.c_str());
    }
    const std::string& display() const { return display_; }

private:
    int listener_ = -1;
    std::string path_;
    std::string display_;
};

// The window program: the updater's only child.
pid_t windowProgramOf(pid_t updater) {
    std::ifstream children("/proc/" + std::to_string(updater) + "/task/" + std::to_string(updater) + "/children");
    pid_t child = -1;
    children >> child;
    return child;
}

bool waitForWriteFrames(DevSimProcess& device, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Received(device).frames(kWriteCommand) < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return Received(device).frames(kWriteCommand) >= count;
}

// What happens to the window while the device is written must not reach the
// update: "OK", exit status 0, the flash byte for byte.
struct WindowTrouble {
    std::vector<std::string> arguments{"COM3"};
    std::string display{};
    std::function<void(ProgramRun&)> during{};  // once three blocks are written
    int writeMs = 100;                          // what each write takes the device
};

void expectUntouchedUpdate(const WindowTrouble& trouble) {
    FlashFile flash;
    DevSimProcess device({"--write-ms", std::to_string(trouble.writeMs), "--flash-in", flash.path()});
    ProgramRun::Options options = UpdateRun::withPort({.display = trouble.display}, device);
    options.arguments = trouble.arguments;
    ProgramRun program(options);
    if (trouble.during) {
        ASSERT_TRUE(waitForWriteFrames(device, 3)) << "the writing did not start";
        trouble.during(program);
    }
    // A normal run takes 3 to 6 s here; a display that holds the program up would
    // hold it for good.
    EXPECT_EQ(program.wait(std::chrono::seconds(30)), 0) << program.standardError();
    device.stop();
    EXPECT_EQ(program.status(), "OK");
    expectUpdatedFlash(device);
    const std::string errors = program.standardError();
    std::size_t said = 0;
    for (auto at = errors.find("No window: "); at != std::string::npos; at = errors.find("No window: ", at + 1)) ++said;
    EXPECT_LE(said, 1u) << errors;
    // The window program's own output (Qt's warnings) never mixes into the caller's.
    EXPECT_EQ(errors.find("QStandardPaths"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("qt."), std::string::npos) << errors;
}

TEST(WindowProcess, XServerThatGoesAwayDuringTheWriteLeavesTheUpdateAlone) {
    if (testsWindowsProgram()) GTEST_SKIP() << "the Linux program's window";
    // Writes long enough for the toolkit to notice that its connection broke.
    XServer x;
    expectUntouchedUpdate({.display = x.display(), .during = [&x](ProgramRun&) { x.kill(); }, .writeMs = 300});
}

TEST(WindowProcess, DisplayThatNeverAnswersLeavesTheUpdateAlone) {
    if (testsWindowsProgram()) GTEST_SKIP() << "the Linux program's window";
    SilentDisplay silent;
    expectUntouchedUpdate({.display = silent.display()});
}

// The window program killed, or stopped so that it no longer reads its pipe.
class WindowProgramSignalled : public ::testing::TestWithParam<int> {};

TEST_P(WindowProgramSignalled, DuringTheWriteLeavesTheUpdateAlone) {
    if (testsWindowsProgram()) GTEST_SKIP() << "the Linux program's window";
    const int signal = GetParam();
    expectUntouchedUpdate({.during = [signal](ProgramRun& program) {
        const pid_t window = windowProgramOf(program.pid());
        ASSERT_GT(window, 0) << "no window program";
        ::kill(window, signal);
    }});
}

INSTANTIATE_TEST_SUITE_P(WindowProcess, WindowProgramSignalled, ::testing::Values(SIGKILL, SIGSTOP),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return p.param == SIGKILL ? std::string("Killed") : std::string("Stopped");
                         });

TEST(WindowProcess, QtOptionThatCannotBeHadCostsOnlyTheWindow) {
    if (testsWindowsProgram()) GTEST_SKIP() << "Qt's options";
    expectUntouchedUpdate({.arguments = {"COM3", "-platform", "zbnoplatform"}});
}

TEST(WindowProcess, SessionThatClosesDuringTheWriteLeavesTheUpdateAlone) {
    if (testsWindowsProgram()) GTEST_SKIP() << "a Linux session's hang-up";
    expectUntouchedUpdate({.during = [](ProgramRun& program) { ::killpg(program.pid(), SIGHUP); }});
}

std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

// The screen's pixels, through ImageMagick's import; empty when it could not be had.
struct Screen {
    int width = 0;
    int height = 0;
    std::string rgb;
    explicit Screen(const std::string& display) {
        const std::string ppm = commandOutput("import -display " + display + " -window root -depth 8 ppm:- 2>/dev/null");
        std::istringstream in(ppm);
        std::string magic;
        int maxValue = 0;
        in >> magic >> width >> height >> maxValue;
        in.get();
        if (magic != "P6" || maxValue != 255 || width <= 0 || height <= 0) return;
        rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
        in.read(rgb.data(), static_cast<std::streamsize>(rgb.size()));
        if (!in) rgb.clear();
    }
    bool is(int x, int y, unsigned char r, unsigned char g, unsigned char b) const {
        const std::size_t i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
        return static_cast<unsigned char>(rgb[i]) == r && static_cast<unsigned char>(rgb[i + 1]) == g &&
               static_cast<unsigned char>(rgb[i + 2]) == b;
    }
};

TEST(WindowProcess, CaptureWhileWritingShowsTheBarByTheGaugeRule) {
    // The window program on a display of the test's own, with no window manager: the
    // window sits where it puts itself, 400 by 41 at 392, 413.
    if (testsWindowsProgram()) GTEST_SKIP() << "the Linux program's window";
    constexpr int kLeft = 392, kTop = 413, kWidth = 400, kHeight = 41;
    constexpr std::size_t kWriteBlocks = 18;  // of the carried image below the bootloader
    XServer x;
    // Writes slow enough for a window at idle priority on a busy machine.
    DevSimProcess device({"--write-ms", "300"});
    ProgramRun run(UpdateRun::withPort({.display = x.display()}, device));
    // The window runs at idle priority: on a busy machine it may come up and draw
    // late, so the test waits for it, takes the first capture with a bar, and holds
    // the progress shown only to what had been written by then.
    std::string info;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (info.find("Width:") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        info = commandOutput("xwininfo -display " + x.display() + " -name Progress 2>/dev/null");
    }
    // The gauge shows the erasing first; the writing's bar is the one looked at.
    ASSERT_TRUE(waitForWriteFrames(device, kWriteBlocks / 3)) << "the writing did not start";
    int row = -1;
    int left = -1;
    std::size_t written = 0;
    std::optional<Screen> screen;
    while (row < 0 && std::chrono::steady_clock::now() < deadline && run.status().empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        screen.emplace(x.display());
        written = Received(device).frames(kWriteCommand);
        if (screen->rgb.empty() || screen->width < kLeft + kWidth || screen->height < kTop + kHeight) continue;
        for (int y = kTop; y < kTop + kHeight && row < 0; ++y) {
            for (int xx = kLeft; xx < kLeft + kWidth; ++xx) {
                if (screen->is(xx, y, 0, 0, 128)) {
                    row = y;
                    left = xx;
                    break;
                }
            }
        }
    }
    EXPECT_EQ(run.wait(), 0);
    device.stop();
    EXPECT_EQ(run.status(), "OK");
    auto field = [&info](const std::string& name) {
        const auto at = info.find(name + ":");
        return at == std::string::npos ? -1 : std::stoi(info.substr(at + name.size() + 1));
    };
    EXPECT_EQ(field("Absolute upper-left X"), kLeft) << info;
    EXPECT_EQ(field("Absolute upper-left Y"), kTop) << info;
    EXPECT_EQ(field("Width"), kWidth) << info;
    EXPECT_EQ(field("Height"), kHeight) << info;
    ASSERT_GE(row, 0) << "no navy bar in the window; " << run.standardError();
    // The gauge's black frame just left of the bar; its right edge further on.
    EXPECT_TRUE(screen->is(left - 1, row, 0, 0, 0));
    int right = left;
    while (right < kLeft + kWidth && screen->is(right, row, 0, 0, 128)) ++right;
    int frameRight = right;
    while (frameRight < kLeft + kWidth && !screen->is(frameRight, row, 0, 0, 0)) ++frameRight;
    ASSERT_LT(frameRight, kLeft + kWidth) << "no right edge of the gauge";
    const int gaugeLeft = left - 1;
    const int width = frameRight - gaugeLeft + 1;
    EXPECT_EQ(gaugeLeft, kLeft + 2) << "the gauge two pixels inside its bevel";
    EXPECT_EQ(width, kWidth - 4);
    // The rule: the bar's edge is floor((W - 1) * percentage / 100) for a whole
    // percentage, which is at most that of the blocks written.
    const int edge = right - gaugeLeft;
    int percent = -1;
    for (int p = 1; p < 100; ++p)
        if ((width - 1) * p / 100 == edge) percent = p;
    EXPECT_GT(percent, 0) << "edge " << edge << " of a gauge " << width << " wide follows no percentage";
    EXPECT_LE(percent, static_cast<int>(100 * (written + 1) / kWriteBlocks) + 2);
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
