// The protocol operations against the device emulator over a pseudo-terminal: each
// one's success and every way it can fail, checked through the log lines, the
// window, the emulator's transcript of what reached it and its final flash.
#include <gtest/gtest.h>

#include <cstdint>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "DevSimProcess.h"
#include "ProtocolHarness.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using Options = std::vector<std::string>;

constexpr std::size_t kFlashBytes = 131072;
constexpr std::uint8_t kEraseCommand = 0x03;
constexpr std::uint8_t kWriteCommand = 0x04;
const Lines kActivationStart = {"activateBootloader", "SetBreak", "ClearBreak"};
const Lines kInfoLines = {"getBootloaderInfo OK", "Boot block size: 0512 bytes", "Bootloader version 1.02",
                          "Bootloader start address 00F800"};

Lines concat(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct Frame {
    Bytes wire;  // as it came over the line
    Bytes body;  // without STX, escapes, CRC and ETX
    std::uint32_t address() const { return static_cast<std::uint32_t>(body[1] | body[2] << 8 | body[3] << 16); }
};

Frame frameFrom(const Bytes& wire) {
    Frame frame{wire, {}};
    for (std::size_t i = 1; i + 1 < wire.size(); ++i) {
        if (wire[i] == 0x05) ++i;
        frame.body.push_back(wire[i]);
    }
    if (frame.body.size() >= 2) frame.body.resize(frame.body.size() - 2);
    return frame;
}

class Device : public ::testing::Test {
protected:
    // Starts the emulator and opens the port at 19200 baud, as the program does.
    void start(Options options) {
        device = std::make_unique<zb::test::DevSimProcess>(std::move(options));
        ::setenv("ZBCOMM_DEVICE_DIR", device->dir().c_str(), 1);
        h = std::make_unique<zbtest::Harness>();
        h->loader.setBaudRate("19200");
        h->loader.setPortNumber(device->port());
        ASSERT_TRUE(h->loader.getCommStat().Open);
    }

    // Starts an emulator that sits in its bootloader and reads its information.
    void startInBootloader(Options options) {
        options.push_back("--no-app");
        ASSERT_NO_FATAL_FAILURE(start(std::move(options)));
        h->loader.setRawMode(true);
        ASSERT_TRUE(h->loader.getBootloaderInfo());
        h->info.lines.clear();
    }

    // What reached the device, in order: its kinds, and the bytes of one kind.
    Lines kindsReceived() const {
        Lines kinds;
        for (const auto& line : device->transcript()) {
            if (line.dir == "rx") kinds.push_back(line.kind);
        }
        return kinds;
    }
    std::vector<Bytes> received(const std::string& kind) const {
        std::vector<Bytes> all;
        for (const auto& line : device->transcript()) {
            if (line.dir == "rx" && line.kind == kind) all.push_back(line.bytes);
        }
        return all;
    }
    std::vector<Frame> framesReceived(std::uint8_t command) const {
        std::vector<Frame> frames;
        for (const Bytes& wire : received("frame")) {
            Frame frame = frameFrom(wire);
            if (!frame.body.empty() && frame.body[0] == command) frames.push_back(frame);
        }
        return frames;
    }

    // A flash file for the emulator to start from, every byte `value`.
    std::string flashFile(std::uint8_t value) {
        flashPath = ::testing::TempDir() + "zbflash-" + std::to_string(::getpid()) + ".bin";
        std::ofstream(flashPath, std::ios::binary) << std::string(kFlashBytes, static_cast<char>(value));
        return flashPath;
    }

    void TearDown() override {
        h.reset();
        device.reset();
        if (!flashPath.empty()) std::remove(flashPath.c_str());
    }

    std::unique_ptr<zb::test::DevSimProcess> device;
    std::unique_ptr<zbtest::Harness> h;
    std::string flashPath;
};

// ---- Probe: short command and two-stage short reply ----

struct ShortReply {
    Options options;
    bool answered;
    friend void PrintTo(const ShortReply& r, std::ostream* os) {
        for (const auto& option : r.options) *os << option << ' ';
    }
};

class Probe : public Device, public ::testing::WithParamInterface<ShortReply> {};

TEST_P(Probe, ReplyEndsTheWaitItself) {
    ASSERT_NO_FATAL_FAILURE(start(GetParam().options));
    const std::uint8_t timeOutsBefore = h->loader.getCommStat().TimeOutCount;
    EXPECT_EQ(h->loader.probeDevice(), GetParam().answered);
    const zb::CommStat stat = h->loader.getCommStat();
    EXPECT_EQ(stat.TimedOut, !GetParam().answered);
    // Only the discard period ran out on the timer, never the 1000 ms reply wait.
    EXPECT_EQ(stat.TimeOutCount, timeOutsBefore + 1);
    EXPECT_EQ(h->loader.timerInterval(), 0u);
    EXPECT_EQ(received("short"), (std::vector<Bytes>{{0x81, 0x03, 0x86}}));
}

INSTANTIATE_TEST_SUITE_P(Replies, Probe,
                         ::testing::Values(ShortReply{{}, true}, ShortReply{{"--app-reply-length", "7"}, true},
                                           ShortReply{{"--bad-crc8"}, false},
                                           // Lengths that leave nothing, or less, for the second read.
                                           ShortReply{{"--app-reply-length", "2"}, false},
                                           ShortReply{{"--app-reply-length", "1"}, false},
                                           ShortReply{{"--app-reply-length", "0"}, false}));

TEST_F(Device, ProbeWithoutApplicationTimesOut) {
    start({"--no-app"});
    EXPECT_FALSE(h->loader.probeDevice());
    EXPECT_TRUE(h->loader.getCommStat().TimedOut);
}

// ---- Activation ----

using Activation = Device;

TEST_F(Activation, ResetThenBreakThenSync) {
    start({});
    ASSERT_TRUE(h->loader.probeDevice());
    EXPECT_TRUE(h->loader.activateBootloader(true));
    EXPECT_EQ(h->info.lines, concat({kActivationStart, {"Baud rate established"}, kInfoLines}));
    EXPECT_EQ(h->loader.getCommStat().BaudRate, "57600");
    EXPECT_TRUE(h->window.results.empty());
    EXPECT_EQ(kindsReceived(), (Lines{"short", "short", "sync", "frame"}));
    EXPECT_EQ(received("short"), (std::vector<Bytes>{{0x81, 0x03, 0x86}, {0x93, 0x03, 0xDC}}));
    EXPECT_EQ(received("frame"), (std::vector<Bytes>{{0x0F, 0x00, 0x00, 0x00, 0x04}}));
}

TEST_F(Activation, WorkDoneWhileTheBreakIsHeldDoesNotLengthenIt) {
    // The window may be built in the break: that time is part of the break's second.
    start({});
    ASSERT_TRUE(h->loader.probeDevice());
    h->window.whileBreakHeld = [] { std::this_thread::sleep_for(std::chrono::milliseconds(500)); };
    EXPECT_TRUE(h->loader.activateBootloader(true));
    EXPECT_EQ(h->window.breaksHeld, 1);
    double resetReplied = -1, synced = -1;
    for (const auto& line : device->transcript()) {
        if (line.dir == "tx" && line.kind == "short") resetReplied = line.ms;
        if (line.dir == "rx" && line.kind == "sync" && synced < 0) synced = line.ms;
    }
    ASSERT_GE(resetReplied, 0);
    ASSERT_GE(synced, 0);
    EXPECT_LT(synced - resetReplied, 1400.0) << "the break waited for the work and then a full second";
}

TEST_F(Activation, EventsHandledWhileTheBreakIsHeldCannotMakeItEndless) {
    // Whatever runs in the break may handle events, the break's own time-out among
    // them: the wait after it must still end, and at once.
    start({"--no-app"});
    zb::TimerId guard = 0;
    h->window.whileBreakHeld = [this, &guard] {
        h->main.processUntil([] { return false; }, std::chrono::milliseconds(1200));
        // Only a stand-in for a lost time-out: ends a wait that the break's own timer
        // can no longer end.
        guard = h->main.startTimer(std::chrono::milliseconds(3000), [this] { h->loader.timeOutTimer(); });
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(h->loader.activateBootloader(false));
    h->main.stopTimer(guard);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500))
        << "the wait after the break's time-out waited for another";
}

TEST_F(Activation, WithoutResetTheFirstByteIsTheSyncByte) {
    start({"--no-app"});
    EXPECT_TRUE(h->loader.activateBootloader(false));
    EXPECT_EQ(kindsReceived(), (Lines{"sync", "frame"}));
}

TEST_F(Activation, PortNotOpen) {
    zbtest::Harness idle;
    EXPECT_FALSE(idle.loader.activateBootloader(false));
    EXPECT_EQ(idle.window.results, Lines{"I can't open COM-port"});
    EXPECT_TRUE(idle.main.terminationRequested());
}

TEST_F(Activation, TerminationAlreadyRequestedSendsNothing) {
    start({"--no-app"});
    h->main.requestTermination();
    EXPECT_FALSE(h->loader.activateBootloader(true));
    EXPECT_TRUE(h->window.results.empty());
    EXPECT_TRUE(kindsReceived().empty());
}

TEST_F(Activation, InformationFailingAfterSyncFailsIt) {
    start({"--no-app", "--info-bad-crc"});
    EXPECT_FALSE(h->loader.activateBootloader(false));
    EXPECT_EQ(h->info.lines, concat({kActivationStart, {"Baud rate established", "getBootloaderInfo: Bad CRC"}}));
}

class ResetFails : public Device, public ::testing::WithParamInterface<const char*> {};

TEST_P(ResetFails, EndsTheRunWithoutBreak) {
    start({GetParam()});
    ASSERT_TRUE(h->loader.probeDevice());
    EXPECT_FALSE(h->loader.activateBootloader(true));
    EXPECT_EQ(h->window.results, Lines{"Orvix V4 reset error"});
    EXPECT_TRUE(h->main.terminationRequested());
    EXPECT_FALSE(h->loader.comm().GetOpenState());
    EXPECT_EQ(h->info.lines, Lines{"activateBootloader"});
    EXPECT_EQ(kindsReceived(), (Lines{"short", "short"}));
}

INSTANTIATE_TEST_SUITE_P(Replies, ResetFails, ::testing::Values("--no-reset-reply", "--bad-crc8-reset"));

struct Synchronisation {
    Options options;
    Lines lines;  // between "ClearBreak" and the information lines
    bool established;
    friend void PrintTo(const Synchronisation& s, std::ostream* os) {
        for (const auto& option : s.options) *os << option << ' ';
    }
};

class SyncAttempts : public Device, public ::testing::WithParamInterface<Synchronisation> {};

TEST_P(SyncAttempts, LogOneLinePerAttempt) {
    Options options = {"--no-app"};
    options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
    start(options);
    EXPECT_EQ(h->loader.activateBootloader(false), GetParam().established);
    EXPECT_EQ(h->info.lines, concat({kActivationStart, GetParam().lines, GetParam().established ? kInfoLines : Lines{}}));
    // The information is asked for only once a bootloader has answered.
    EXPECT_EQ(received("frame").size(), GetParam().established ? 1u : 0u);
    EXPECT_TRUE(h->window.results.empty());
}

const Lines kFiveTimeOuts(5, "Baud rate time out");

INSTANTIATE_TEST_SUITE_P(
    Echoes, SyncAttempts,
    ::testing::Values(
        Synchronisation{{"--wrong-echo", "2:0"}, {"Bad answer - 0", "Bad answer - 0", "Baud rate established"}, true},
        Synchronisation{{"--no-echo", "1", "--wrong-echo", "1:255"},
                        {"Baud rate time out", "Bad answer - 255", "Baud rate established"},
                        true},
        Synchronisation{{"--no-echo", "5"}, concat({kFiveTimeOuts, {"Repeat establishBaudRate", "Baud rate established"}}), true},
        Synchronisation{{"--silent-bootloader"}, concat({kFiveTimeOuts, {"Repeat establishBaudRate"}, kFiveTimeOuts}), false}));

// ---- Information ----

using Information = Device;

TEST_F(Information, EscapedFieldsAreReadAfterUnescaping) {
    start({"--no-app", "--boot-size", "0x050F", "--version", "4.5", "--boot-start", "0xF405"});
    h->loader.setRawMode(true);
    EXPECT_TRUE(h->loader.getBootloaderInfo());
    EXPECT_EQ(h->info.lines, (Lines{"getBootloaderInfo OK", "Boot block size: 1295 bytes", "Bootloader version 4.05",
                                    "Bootloader start address 00F405"}));
    EXPECT_EQ(h->loader.bootStart(), 0xF405u);
}

TEST_F(Information, HighestStartAddressIsAccepted) {
    start({"--no-app", "--boot-start", "0x10000"});
    h->loader.setRawMode(true);
    EXPECT_TRUE(h->loader.getBootloaderInfo());
    EXPECT_EQ(h->info.lines.back(), "Bootloader start address 010000");
}

TEST_F(Information, StartAddressAboveIsRefusedButKept) {
    start({"--no-app", "--boot-start", "0x10001"});
    h->loader.setRawMode(true);
    EXPECT_FALSE(h->loader.getBootloaderInfo());
    EXPECT_EQ(h->info.lines, (Lines{"getBootloaderInfo OK", "Boot block size: 0512 bytes", "Bootloader version 1.02",
                                    "Bootloader start address 010001", "Bootloader address error!"}));
    EXPECT_EQ(h->loader.bootStart(), 0x10001u);
}

TEST_F(Information, BadCrc) {
    start({"--no-app", "--info-bad-crc"});
    h->loader.setRawMode(true);
    EXPECT_FALSE(h->loader.getBootloaderInfo());
    EXPECT_EQ(h->info.lines, Lines{"getBootloaderInfo: Bad CRC"});
}

TEST_F(Information, NoiseBeforeTheReplyNeitherHidesItNorGivesItsFields) {
    // Eleven bytes whose positions 7 to 10 read as start address 0x8000, with a stray
    // ETX and a DLE before the STX: the reply ends beyond the 24 bytes of the read.
    start({"--no-app", "--info-noise", "0401020304050600800005"});
    h->loader.setRawMode(true);
    EXPECT_TRUE(h->loader.getBootloaderInfo());
    EXPECT_EQ(h->info.lines, kInfoLines);
    EXPECT_EQ(h->loader.bootStart(), 0xF800u);
}

TEST_F(Information, NoReplyLogsNothing) {
    start({"--no-app", "--silent-bootloader"});
    h->loader.setRawMode(true);
    EXPECT_FALSE(h->loader.getBootloaderInfo());
    EXPECT_TRUE(h->info.lines.empty());
}

// ---- Erase ----

using Erase = Device;

TEST_F(Erase, WorkedSizesFor0xF800) {
    startInBootloader({"--flash-in", flashFile(0x00)});
    ASSERT_EQ(h->loader.bootStart(), 0xF800u);
    EXPECT_TRUE(h->loader.eraseFlash());

    const auto frames = framesReceived(kEraseCommand);
    ASSERT_EQ(frames.size(), 62u);
    EXPECT_EQ(frames.front().wire, (Bytes{0x0F, 0x03, 0xFF, 0xF7, 0x00, 0x00, 0x10, 0x1E, 0x48, 0x04}));
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].address(), 0xF7FFu - 0x400u * i) << "command " << i;
        EXPECT_EQ(frames[i].body[5], 16);
    }
    EXPECT_EQ(frames.back().address(), 0x03FFu);
    EXPECT_EQ(h->info.lines, (Lines{"Erasing Flash...", "Erasing complete..."}));
    EXPECT_EQ(h->window.maxValues, std::vector<std::int32_t>{992});
    EXPECT_EQ(h->window.progressHistory.front(), 992);
    EXPECT_EQ(h->window.gauge.Progress(), 0);
    EXPECT_EQ(h->window.progressTexts.front(), "Erasing address: F3FF");
    EXPECT_EQ(h->window.progressTexts.back(), "Erasing completed!");

    device->stop();
    const Bytes flash = device->flash();
    ASSERT_EQ(flash.size(), kFlashBytes);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 0xF800), Bytes(0xF800, 0xFF));
    EXPECT_EQ(Bytes(flash.begin() + 0xF800, flash.end()), Bytes(kFlashBytes - 0xF800, 0x00));
}

struct AreaSize {
    const char* bootStart;
    std::size_t commands;
    std::uint32_t first;
    std::uint32_t last;
    std::int32_t gaugeMax;
    friend void PrintTo(const AreaSize& s, std::ostream* os) { *os << s.bootStart; }
};

class EraseSizes : public Device, public ::testing::WithParamInterface<AreaSize> {};

TEST_P(EraseSizes, FromTheTopDown) {
    startInBootloader({"--boot-start", GetParam().bootStart});
    EXPECT_TRUE(h->loader.eraseFlash());
    const auto frames = framesReceived(kEraseCommand);
    ASSERT_EQ(frames.size(), GetParam().commands);
    EXPECT_EQ(frames.front().address(), GetParam().first);
    EXPECT_EQ(frames.back().address(), GetParam().last);
    EXPECT_EQ(h->window.maxValues, std::vector<std::int32_t>{GetParam().gaugeMax});
}

INSTANTIATE_TEST_SUITE_P(StartAddresses, EraseSizes,
                         ::testing::Values(AreaSize{"0x10000", 64, 0xFFFF, 0x03FF, 1024},
                                           AreaSize{"0x8000", 32, 0x7FFF, 0x03FF, 512}));

TEST_F(Erase, SpecialCrcByteIsEscapedOnSending) {
    // The erase of 0x13FF has the CRC-16 0x0605: its low byte is DLE.
    startInBootloader({"--boot-start", "0x1400"});
    EXPECT_TRUE(h->loader.eraseFlash());
    const auto frames = framesReceived(kEraseCommand);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().wire, (Bytes{0x0F, 0x03, 0xFF, 0x13, 0x00, 0x00, 0x10, 0x05, 0x05, 0x06, 0x04}));
}

TEST_F(Erase, StartAddressZeroSendsNothingAndSucceeds) {
    startInBootloader({"--boot-start", "0"});
    EXPECT_TRUE(h->loader.eraseFlash());
    EXPECT_TRUE(framesReceived(kEraseCommand).empty());
    EXPECT_EQ(h->info.lines, (Lines{"Erasing Flash...", "Erasing complete..."}));
    EXPECT_EQ(h->window.progressTexts, Lines{"Erasing completed!"});
}

TEST_F(Erase, StartAddressOffTheEraseRegionsIsRefused) {
    startInBootloader({"--boot-start", "0xF810"});
    EXPECT_FALSE(h->loader.eraseFlash());
    EXPECT_TRUE(framesReceived(kEraseCommand).empty());
    ASSERT_EQ(h->info.lines.size(), 2u);
    EXPECT_NE(h->info.lines[1].find("00F810"), std::string::npos) << h->info.lines[1];
}

struct EraseFailure {
    const char* option;
    std::size_t commandsSent;
    friend void PrintTo(const EraseFailure& f, std::ostream* os) { *os << f.option; }
};

class EraseFails : public Device, public ::testing::WithParamInterface<EraseFailure> {};

TEST_P(EraseFails, StopsAtTheFailedCommand) {
    startInBootloader({"--boot-start", "0x2000", "--erase-fail", GetParam().option});
    EXPECT_FALSE(h->loader.eraseFlash());
    EXPECT_EQ(framesReceived(kEraseCommand).size(), GetParam().commandsSent);
    EXPECT_EQ(h->info.lines, Lines{"Erasing Flash..."});
    // Panel and gauge keep what the last confirmed command left.
    const std::size_t confirmed = GetParam().commandsSent - 1;
    EXPECT_EQ(h->window.progressTexts.size(), confirmed);
    EXPECT_EQ(h->window.gauge.Progress(), static_cast<std::int32_t>(128 - 16 * confirmed));
}

INSTANTIATE_TEST_SUITE_P(Rows, EraseFails,
                         ::testing::Values(EraseFailure{"1:silent", 1}, EraseFailure{"3:badcrc", 3},
                                           EraseFailure{"3:wrongcmd", 3},
                                           // The previous erase's reply is still in the buffer.
                                           EraseFailure{"2:silent", 2}));

// ---- Write ----

// 0xFF everywhere, with a pattern rich in special bytes below `used`.
Bytes patternImage(std::uint32_t used) {
    Bytes bytes(kFlashBytes, 0xFF);
    for (std::uint32_t i = 0; i < used; ++i) bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 251) % 251);
    return bytes;
}

using Write = Device;

TEST_F(Write, WorkedSizesFor0xF800) {
    startInBootloader({"--flash-in", flashFile(0x00)});
    ASSERT_TRUE(h->loader.eraseFlash());
    h->info.lines.clear();
    h->window = zbtest::MemoryWindow{};
    const Bytes original = patternImage(0xF7FC);
    Bytes image = original;
    EXPECT_TRUE(h->loader.writeFlash(image.data()));

    // The jump to the bootloader (word address 0x7C01) and the moved reset instruction.
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 4), (Bytes{0x01, 0xEF, 0x7C, 0xF0}));
    EXPECT_EQ(Bytes(image.begin() + 0xF7FC, image.begin() + 0xF800), Bytes(original.begin(), original.begin() + 4));

    const auto frames = framesReceived(kWriteCommand);
    ASSERT_EQ(frames.size(), 18u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].address(), 0x0E00u * i) << "block " << i;
        EXPECT_EQ(frames[i].body[5], 56);
        ASSERT_EQ(frames[i].body.size(), 6u + 3584u);
        EXPECT_TRUE(std::equal(frames[i].body.begin() + 6, frames[i].body.end(), image.begin() + 0x0E00 * i));
    }
    EXPECT_EQ(frames.back().address(), 0xEE00u);  // carries 0xEE00 .. 0xFBFF
    EXPECT_EQ(h->window.maxValues, std::vector<std::int32_t>{993});
    // 56 per block, held at the maximum by the gauge, then back to 0.
    EXPECT_EQ(h->window.progressHistory[17], 952);
    EXPECT_EQ(h->window.progressHistory[18], 993);
    EXPECT_EQ(h->window.gauge.Progress(), 0);
    EXPECT_EQ(h->window.progressTexts[17], "Write address: EE00");
    EXPECT_EQ(h->window.progressTexts.back(), "Completed!");
    EXPECT_EQ(h->info.lines, (Lines{"Writing Flash...", "Writing complete..."}));

    device->stop();
    const Bytes flash = device->flash();
    ASSERT_EQ(flash.size(), kFlashBytes);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 0xF800), Bytes(image.begin(), image.begin() + 0xF800));
    // Never erased: the 0xFF written over the bootloader's bytes changes nothing.
    EXPECT_EQ(Bytes(flash.begin() + 0xF800, flash.end()), Bytes(kFlashBytes - 0xF800, 0x00));
}

class WriteSizes : public Device, public ::testing::WithParamInterface<AreaSize> {};

TEST_P(WriteSizes, FromAddressZeroUp) {
    startInBootloader({"--boot-start", GetParam().bootStart});
    Bytes image = patternImage(0x7000);
    EXPECT_TRUE(h->loader.writeFlash(image.data()));
    const auto frames = framesReceived(kWriteCommand);
    ASSERT_EQ(frames.size(), GetParam().commands);
    EXPECT_EQ(frames.back().address(), GetParam().last);
    EXPECT_EQ(h->window.maxValues, std::vector<std::int32_t>{GetParam().gaugeMax});
}

// The moved reset instruction makes the used length the whole area.
INSTANTIATE_TEST_SUITE_P(StartAddresses, WriteSizes,
                         ::testing::Values(AreaSize{"0x10000", 19, 0, 0xFC00, 1025},
                                           AreaSize{"0x8000", 10, 0, 0x7E00, 513}));

TEST_F(Write, EmptyImageUsesOnlyTheJump) {
    startInBootloader({"--boot-start", "0x8000"});
    Bytes image(kFlashBytes, 0xFF);
    EXPECT_TRUE(h->loader.writeFlash(image.data()));
    // The moved bytes are all 0xFF: the used length is 4, one block, gauge 4 / 64 + 1.
    EXPECT_EQ(framesReceived(kWriteCommand).size(), 1u);
    EXPECT_EQ(h->window.maxValues, std::vector<std::int32_t>{1});
}

TEST_F(Write, StartAddressBelowFourIsRefused) {
    startInBootloader({"--boot-start", "3"});
    Bytes image = patternImage(0x100);
    const Bytes before = image;
    EXPECT_FALSE(h->loader.writeFlash(image.data()));
    EXPECT_TRUE(framesReceived(kWriteCommand).empty());
    EXPECT_EQ(image, before);
    ASSERT_EQ(h->info.lines.size(), 2u);
    EXPECT_NE(h->info.lines[1].find("000003"), std::string::npos) << h->info.lines[1];
}

TEST_F(Write, TimeOutCoversTheFrameOnTheLine) {
    startInBootloader({});
    // Read by a call posted before the command: it runs at the wait's first round,
    // once the timer has been started.
    auto timeOutFor = [&](std::uint8_t fill) {
        const Bytes data(56 * 64, fill);
        std::uint32_t seen = 0;
        h->main.post([&] { seen = h->loader.timerInterval(); });
        EXPECT_TRUE(h->loader.writeBlock(0, 56, data.data()));
        return seen;
    };
    EXPECT_EQ(timeOutFor(0x11), 2500u);  // 3594 bytes: 1872 ms at 19200 baud
    // The stored rate runs ahead of the open port after activation; the time-out
    // follows the speed the line really has.
    h->loader.setBaudRate("57600");
    // 3584 data bytes 0x0F, all escaped: 7179 bytes, 3739.1 ms at 19200 baud.
    EXPECT_EQ(timeOutFor(0x0F), 3740u + 600u);
}

TEST_F(Write, EscapeRichBlockOnAPacedLine) {
    // The device takes each byte at the line's pace and answers when the frame has
    // arrived, after 3.7 s: beyond the fixed 2500 ms.
    startInBootloader({"--boot-start", "0x400", "--baud", "19200"});
    Bytes image(kFlashBytes, 0x0F);
    EXPECT_TRUE(h->loader.writeFlash(image.data()));
    EXPECT_EQ(framesReceived(kWriteCommand).size(), 1u);
}

struct WriteFailure {
    Options options;
    std::size_t blocksRecorded;  // by the emulator; an unplugged one records nothing
    const char* failedAddress;
    bool unplugged = false;  // the line hung up: one line says the device is gone
    friend void PrintTo(const WriteFailure& f, std::ostream* os) {
        for (const auto& option : f.options) *os << option << ' ';
    }
};

class WriteFails : public Device, public ::testing::WithParamInterface<WriteFailure> {};

TEST_P(WriteFails, StopsAtTheFailedBlock) {
    Options options = {"--boot-start", "0x2800"};
    options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
    startInBootloader(options);
    Bytes image = patternImage(0x2800);
    EXPECT_FALSE(h->loader.writeFlash(image.data()));
    EXPECT_EQ(framesReceived(kWriteCommand).size(), GetParam().blocksRecorded);
    Lines expected{"Writing Flash...", "Writing errror..."};
    if (GetParam().unplugged) expected.insert(expected.begin() + 1, "COM3: the device is gone (unplugged?)");
    EXPECT_EQ(h->info.lines, expected);
    EXPECT_EQ(h->window.gauge.Progress(), 0);
    EXPECT_EQ(h->window.progressTexts.back(), std::string("Write address: ") + GetParam().failedAddress);
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteFails,
                         ::testing::Values(WriteFailure{{"--write-fail", "2:silent"}, 2, "0E00"},
                                           WriteFailure{{"--write-fail", "2:badcrc"}, 2, "0E00"},
                                           WriteFailure{{"--write-fail", "2:wrongcmd"}, 2, "0E00"},
                                           // Five bytes, the command byte not escaped: the wait runs out.
                                           WriteFailure{{"--write-reply-unescaped"}, 1, "0000"},
                                           WriteFailure{{"--unplug-after", "1"}, 1, "0E00", true}));

}  // namespace
