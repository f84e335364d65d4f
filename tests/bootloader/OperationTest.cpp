// The protocol operations against the device emulator over a pseudo-terminal: each
// one's success and every way it can fail, checked through the log lines, the
// window, the emulator's transcript of what arrived and its final flash.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DevSimProcess.h"
#include "ProtocolHarness.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

constexpr std::size_t kFlashBytes = 131072;
constexpr std::uint8_t kEraseCommand = 0x03;
constexpr std::uint8_t kWriteCommand = 0x04;
const Lines kInfoLines = {"getBootloaderInfo OK", "Boot block size: 0512 bytes", "Bootloader version 1.02",
                          "Bootloader start address 00F800"};

Lines concat(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A bootloader frame from the line without STX, escapes, CRC and ETX.
Bytes frameBody(const Bytes& wire) {
    Bytes body;
    for (std::size_t i = 1; i + 1 < wire.size(); ++i) {
        if (wire[i] == 0x05 && i + 2 < wire.size()) ++i;
        body.push_back(wire[i]);
    }
    if (body.size() >= 2) body.resize(body.size() - 2);
    return body;
}

std::uint32_t addressOf(const Bytes& body) {
    return static_cast<std::uint32_t>(body[1] | body[2] << 8 | body[3] << 16);
}

class Device : public ::testing::Test {
protected:
    // Starts the emulator and opens the port at 19200 baud, as the program does.
    void start(std::vector<std::string> options) {
        device = std::make_unique<zb::test::DevSimProcess>(std::move(options));
        ::setenv("ZBCOMM_DEVICE_DIR", device->dir().c_str(), 1);
        h = std::make_unique<zbtest::Harness>();
        h->loader.setBaudRate("19200");
        h->loader.setPortNumber(device->port());
        ASSERT_TRUE(h->loader.getCommStat().Open);
    }

    // Starts an emulator that sits in its bootloader and reads its information.
    void startInBootloader(std::vector<std::string> options) {
        options.push_back("--no-app");
        start(std::move(options));
        h->loader.setRawMode(true);
        ASSERT_TRUE(h->loader.getBootloaderInfo());
        h->info.lines.clear();
    }

    // Bodies of the frames of one command that reached the device, in order.
    std::vector<Bytes> framesReceived(std::uint8_t command) const {
        std::vector<Bytes> bodies;
        for (const auto& line : device->transcript()) {
            if (line.dir != "rx" || line.kind != "frame") continue;
            Bytes body = frameBody(line.bytes);
            if (!body.empty() && body[0] == command) bodies.push_back(body);
        }
        return bodies;
    }

    std::vector<std::string> kindsReceived() const {
        std::vector<std::string> kinds;
        for (const auto& line : device->transcript()) {
            if (line.dir == "rx") kinds.push_back(line.kind);
        }
        return kinds;
    }

    // A flash file for the emulator to start from, every byte `value`.
    std::string flashFile(std::uint8_t value) {
        const std::string path = ::testing::TempDir() + "zbflash-" + std::to_string(::getpid()) + ".bin";
        std::ofstream(path, std::ios::binary) << std::string(kFlashBytes, static_cast<char>(value));
        flashFiles.push_back(path);
        return path;
    }

    void TearDown() override {
        h.reset();
        device.reset();
        for (const auto& path : flashFiles) std::remove(path.c_str());
    }

    std::unique_ptr<zb::test::DevSimProcess> device;
    std::unique_ptr<zbtest::Harness> h;
    std::vector<std::string> flashFiles;
};

// ---- Probe ----

using Probe = Device;

TEST_F(Probe, ApplicationAnswers) {
    start({});
    EXPECT_TRUE(h->loader.probeDevice());
    EXPECT_EQ(kindsReceived(), Lines{"short"});
}

TEST_F(Probe, NoApplicationMeansNoAnswer) {
    start({"--no-app"});
    EXPECT_FALSE(h->loader.probeDevice());
    EXPECT_TRUE(h->loader.getCommStat().TimedOut);
}

TEST_F(Probe, BadCrc8IsNoAnswer) {
    start({"--bad-crc8"});
    EXPECT_FALSE(h->loader.probeDevice());
    EXPECT_TRUE(h->loader.getCommStat().TimedOut);
}

// ---- Activation ----

using Activation = Device;

TEST_F(Activation, ResetThenBreakThenSync) {
    start({});
    ASSERT_TRUE(h->loader.probeDevice());
    EXPECT_TRUE(h->loader.activateBootloader(true));
    EXPECT_EQ(h->info.lines, concat({{"activateBootloader", "SetBreak", "ClearBreak", "Baud rate established"}, kInfoLines}));
    EXPECT_EQ(h->loader.getCommStat().BaudRate, "57600");
    EXPECT_TRUE(h->window.results.empty());
    // Probe, reset, one sync byte, the information command.
    EXPECT_EQ(kindsReceived(), (Lines{"short", "short", "sync", "frame"}));
    const auto transcript = device->transcript();
    std::vector<Bytes> shorts;
    for (const auto& line : transcript) {
        if (line.dir == "rx" && line.kind == "short") shorts.push_back(line.bytes);
    }
    EXPECT_EQ(shorts, (std::vector<Bytes>{{0x81, 0x03, 0x86}, {0x93, 0x03, 0xDC}}));
}

TEST_F(Activation, WithoutResetTheFirstByteIsTheSyncByte) {
    start({"--no-app"});
    EXPECT_TRUE(h->loader.activateBootloader(false));
    const Lines kinds = kindsReceived();
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds.front(), "sync");
}

TEST_F(Activation, MissingResetReplyEndsTheRun) {
    start({"--no-reset-reply"});
    ASSERT_TRUE(h->loader.probeDevice());
    EXPECT_FALSE(h->loader.activateBootloader(true));
    EXPECT_EQ(h->window.results, Lines{"Orvix V4 reset error"});
    EXPECT_TRUE(h->main.terminationRequested());
    EXPECT_FALSE(h->loader.comm().GetOpenState());
    EXPECT_EQ(h->info.lines, Lines{"activateBootloader"});
    EXPECT_EQ(kindsReceived(), (Lines{"short", "short"}));  // no break, no sync
}

TEST_F(Activation, ResetReplyWithBadCrc8EndsTheRun) {
    start({"--bad-crc8-reset"});
    ASSERT_TRUE(h->loader.probeDevice());
    EXPECT_FALSE(h->loader.activateBootloader(true));
    EXPECT_EQ(h->window.results, Lines{"Orvix V4 reset error"});
    EXPECT_TRUE(h->main.terminationRequested());
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

TEST_F(Activation, EchoOnTheThirdAttempt) {
    start({"--no-app", "--wrong-echo", "2:0"});
    EXPECT_TRUE(h->loader.activateBootloader(false));
    EXPECT_EQ(h->info.lines, concat({{"activateBootloader", "SetBreak", "ClearBreak", "Bad answer - 0", "Bad answer - 0",
                                      "Baud rate established"},
                                     kInfoLines}));
}

TEST_F(Activation, TimeOutAndWrongByteLines) {
    start({"--no-app", "--no-echo", "1", "--wrong-echo", "1:255"});
    EXPECT_TRUE(h->loader.activateBootloader(false));
    EXPECT_EQ(h->info.lines, concat({{"activateBootloader", "SetBreak", "ClearBreak", "Baud rate time out",
                                      "Bad answer - 255", "Baud rate established"},
                                     kInfoLines}));
}

TEST_F(Activation, SecondSynchronisationAfterFiveFailures) {
    start({"--no-app", "--no-echo", "5"});
    EXPECT_TRUE(h->loader.activateBootloader(false));
    const Lines timeOuts(5, "Baud rate time out");
    EXPECT_EQ(h->info.lines, concat({{"activateBootloader", "SetBreak", "ClearBreak"}, timeOuts,
                                     {"Repeat establishBaudRate", "Baud rate established"}, kInfoLines}));
}

TEST_F(Activation, TenFailedAttemptsGiveUpWithoutQuery) {
    start({"--silent-bootloader", "--no-app"});
    EXPECT_FALSE(h->loader.activateBootloader(false));
    const Lines timeOuts(5, "Baud rate time out");
    EXPECT_EQ(h->info.lines, concat({{"activateBootloader", "SetBreak", "ClearBreak"}, timeOuts,
                                     {"Repeat establishBaudRate"}, timeOuts}));
    EXPECT_EQ(kindsReceived(), Lines(10, "sync"));
    EXPECT_TRUE(h->window.results.empty());
    EXPECT_FALSE(h->main.terminationRequested());
}

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

TEST_F(Information, StartAddressAboveIsRefused) {
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
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(addressOf(frames[i]), 0xF7FFu - 0x400u * i) << "command " << i;
        EXPECT_EQ(frames[i][4], 0x00);
        EXPECT_EQ(frames[i][5], 16);
    }
    EXPECT_EQ(addressOf(frames.back()), 0x03FFu);
    EXPECT_EQ(h->info.lines, (Lines{"Erasing Flash...", "Erasing complete..."}));
    EXPECT_EQ(h->window.maxValues, std::vector<std::int32_t>{992});
    EXPECT_EQ(h->window.progressHistory.front(), 992);
    EXPECT_EQ(h->window.progress, 0);
    ASSERT_GE(h->window.progressTexts.size(), 2u);
    EXPECT_EQ(h->window.progressTexts.front(), "Erasing address: F3FF");
    EXPECT_EQ(h->window.progressTexts.back(), "Erasing completed!");

    device->stop();
    const Bytes flash = device->flash();
    ASSERT_EQ(flash.size(), kFlashBytes);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 0xF800), Bytes(0xF800, 0xFF));
    EXPECT_EQ(Bytes(flash.begin() + 0xF800, flash.end()), Bytes(kFlashBytes - 0xF800, 0x00));
}

TEST_F(Erase, HighestStartAddress) {
    startInBootloader({"--boot-start", "0x10000"});
    EXPECT_TRUE(h->loader.eraseFlash());
    const auto frames = framesReceived(kEraseCommand);
    ASSERT_EQ(frames.size(), 64u);
    EXPECT_EQ(addressOf(frames.front()), 0xFFFFu);
    EXPECT_EQ(addressOf(frames.back()), 0x03FFu);
    EXPECT_EQ(h->window.maxValues, std::vector<std::int32_t>{1024});
}

TEST_F(Erase, HalfTheArea) {
    startInBootloader({"--boot-start", "0x8000"});
    EXPECT_TRUE(h->loader.eraseFlash());
    const auto frames = framesReceived(kEraseCommand);
    ASSERT_EQ(frames.size(), 32u);
    EXPECT_EQ(addressOf(frames.front()), 0x7FFFu);
    EXPECT_EQ(addressOf(frames.back()), 0x03FFu);
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
    EXPECT_EQ(h->window.progress, static_cast<std::int32_t>(128 - 16 * confirmed));
}

INSTANTIATE_TEST_SUITE_P(Rows, EraseFails,
                         ::testing::Values(EraseFailure{"1:silent", 1}, EraseFailure{"3:badcrc", 3},
                                           EraseFailure{"3:wrongcmd", 3},
                                           // The previous erase's reply is still in the buffer.
                                           EraseFailure{"2:silent", 2}));

// ---- Write ----

class Write : public Device {
protected:
    // 0xFF everywhere, with a pattern rich in special bytes below `used`.
    static Bytes image(std::uint32_t used) {
        Bytes bytes(kFlashBytes, 0xFF);
        for (std::uint32_t i = 0; i < used; ++i) bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 251) % 251);
        return bytes;
    }
};

TEST_F(Write, WorkedSizesFor0xF800) {
    startInBootloader({"--flash-in", flashFile(0x00)});
    ASSERT_TRUE(h->loader.eraseFlash());
    h->info.lines.clear();
    h->window.maxValues.clear();
    h->window.progressHistory.clear();
    h->window.progressTexts.clear();
    const Bytes original = image(0xF7FC);
    Bytes flashImage = original;
    EXPECT_TRUE(h->loader.writeFlash(flashImage.data()));

    // The jump to the bootloader (word address 0x7C01) and the moved reset instruction.
    EXPECT_EQ(Bytes(flashImage.begin(), flashImage.begin() + 4), (Bytes{0x01, 0xEF, 0x7C, 0xF0}));
    EXPECT_EQ(Bytes(flashImage.begin() + 0xF7FC, flashImage.begin() + 0xF800),
              Bytes(original.begin(), original.begin() + 4));

    const auto frames = framesReceived(kWriteCommand);
    ASSERT_EQ(frames.size(), 18u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(addressOf(frames[i]), 0x0E00u * i) << "block " << i;
        EXPECT_EQ(frames[i][5], 56);
        ASSERT_EQ(frames[i].size(), 6u + 3584u);
        EXPECT_TRUE(std::equal(frames[i].begin() + 6, frames[i].end(), flashImage.begin() + 0x0E00 * i))
            << "block " << i;
    }
    EXPECT_EQ(addressOf(frames.back()), 0xEE00u);  // carries 0xEE00 .. 0xFBFF
    EXPECT_EQ(h->window.maxValues, std::vector<std::int32_t>{993});
    // 56 per block, held at the maximum by the gauge, then back to 0.
    EXPECT_EQ(h->window.progressHistory[17], 952);
    EXPECT_EQ(h->window.progressHistory[18], 993);
    EXPECT_EQ(h->window.progress, 0);
    EXPECT_EQ(h->window.progressTexts.front(), "Write address: 0000");
    EXPECT_EQ(h->window.progressTexts[17], "Write address: EE00");
    EXPECT_EQ(h->window.progressTexts.back(), "Completed!");
    EXPECT_EQ(h->info.lines, (Lines{"Writing Flash...", "Writing complete..."}));

    device->stop();
    const Bytes flash = device->flash();
    ASSERT_EQ(flash.size(), kFlashBytes);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 0xF800), Bytes(flashImage.begin(), flashImage.begin() + 0xF800));
    // The bootloader's bytes were never erased; the 0xFF written over them changes nothing.
    EXPECT_EQ(Bytes(flash.begin() + 0xF800, flash.end()), Bytes(kFlashBytes - 0xF800, 0x00));
}

TEST_F(Write, HighestStartAddress) {
    startInBootloader({"--boot-start", "0x10000"});
    Bytes flashImage = image(0x10000);
    EXPECT_TRUE(h->loader.writeFlash(flashImage.data()));
    const auto frames = framesReceived(kWriteCommand);
    ASSERT_EQ(frames.size(), 19u);
    EXPECT_EQ(addressOf(frames.back()), 0xFC00u);
    EXPECT_EQ(h->window.maxValues, std::vector<std::int32_t>{1025});
    // Jump to word address 0x8001.
    EXPECT_EQ(Bytes(flashImage.begin(), flashImage.begin() + 4), (Bytes{0x01, 0xEF, 0x80, 0xF0}));
}

TEST_F(Write, HalfTheArea) {
    startInBootloader({"--boot-start", "0x8000"});
    Bytes flashImage = image(0x7000);
    EXPECT_TRUE(h->loader.writeFlash(flashImage.data()));
    const auto frames = framesReceived(kWriteCommand);
    ASSERT_EQ(frames.size(), 10u);
    EXPECT_EQ(addressOf(frames.back()), 0x7E00u);
    EXPECT_EQ(h->window.maxValues, std::vector<std::int32_t>{513});
}

TEST_F(Write, UsedLengthEndsWithTheJumpWhenTheImageIsEmpty) {
    startInBootloader({"--boot-start", "0x8000"});
    Bytes flashImage(kFlashBytes, 0xFF);
    EXPECT_TRUE(h->loader.writeFlash(flashImage.data()));
    // The moved bytes are all 0xFF: only the jump is used, one block, gauge 4 / 64 + 1.
    EXPECT_EQ(framesReceived(kWriteCommand).size(), 1u);
    EXPECT_EQ(h->window.maxValues, std::vector<std::int32_t>{1});
}

TEST_F(Write, EscapeRichBlockOnAPacedLine) {
    // Every data byte 0x0F: the frame is twice as long on the line, 3.7 s at 19200
    // baud, more than the fixed 2500 ms; the device answers once it has arrived.
    startInBootloader({"--boot-start", "0x400", "--baud", "19200"});
    Bytes flashImage(kFlashBytes, 0x0F);
    EXPECT_TRUE(h->loader.writeFlash(flashImage.data()));
    EXPECT_EQ(framesReceived(kWriteCommand).size(), 1u);
}

TEST_F(Write, StartAddressBelowFourIsRefused) {
    startInBootloader({"--boot-start", "3"});
    Bytes flashImage = image(0x100);
    const Bytes before = flashImage;
    EXPECT_FALSE(h->loader.writeFlash(flashImage.data()));
    EXPECT_TRUE(framesReceived(kWriteCommand).empty());
    EXPECT_EQ(flashImage, before);
    ASSERT_EQ(h->info.lines.size(), 2u);
    EXPECT_NE(h->info.lines[1].find("000003"), std::string::npos) << h->info.lines[1];
}

struct WriteFailure {
    std::vector<std::string> options;
    std::size_t blocksRecorded;  // by the emulator; an unplugged one records nothing
    const char* failedAddress;
    friend void PrintTo(const WriteFailure& f, std::ostream* os) {
        for (const auto& option : f.options) *os << option << ' ';
    }
};

class WriteFails : public Write, public ::testing::WithParamInterface<WriteFailure> {};

TEST_P(WriteFails, StopsAtTheFailedBlock) {
    std::vector<std::string> options = {"--boot-start", "0x2800"};
    options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
    startInBootloader(options);
    Bytes flashImage = image(0x2800);
    EXPECT_FALSE(h->loader.writeFlash(flashImage.data()));
    EXPECT_EQ(framesReceived(kWriteCommand).size(), GetParam().blocksRecorded);
    EXPECT_EQ(h->info.lines, (Lines{"Writing Flash...", "Writing errror..."}));
    EXPECT_EQ(h->window.progress, 0);
    EXPECT_EQ(h->window.progressTexts.back(), std::string("Write address: ") + GetParam().failedAddress);
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteFails,
                         ::testing::Values(WriteFailure{{"--write-fail", "2:silent"}, 2, "0E00"},
                                           WriteFailure{{"--write-fail", "2:badcrc"}, 2, "0E00"},
                                           WriteFailure{{"--write-fail", "2:wrongcmd"}, 2, "0E00"},
                                           // Five bytes, the command byte not escaped: the wait runs out.
                                           WriteFailure{{"--write-reply-unescaped"}, 1, "0000"},
                                           WriteFailure{{"--unplug-after", "1"}, 1, "0E00"}));

}  // namespace
