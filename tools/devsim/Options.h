// Command line of devsim: what the emulated device looks like and which faults it
// injects. parseOptions() only checks and converts; nothing here touches the system.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zb::devsim {

// How an erase or write command whose turn has come is mishandled.
enum class FailMode {
    Silent,    // the command is lost: not carried out, not answered
    BadCrc,    // carried out; the reply's CRC-16 is inverted
    WrongCmd,  // carried out; the reply carries the command code with bit 0 flipped
};

struct CommandFailure {
    unsigned command = 0;  // 1-based number of the erase (or write) command; 0 = none
    FailMode mode = FailMode::Silent;
};

struct Options {
    // Where the device appears.
    std::string dir;  // folder of the link; default $ZBCOMM_DEVICE_DIR
    std::string port = "COM3";

    // The device.
    bool noApp = false;  // starts in its bootloader; no application face
    std::uint16_t bootSize = 512;          // bytes
    std::uint8_t versionMajor = 1;
    std::uint8_t versionMinor = 2;
    std::uint32_t bootStart = 0xF800;      // byte address
    unsigned baud = 0;                     // 0 = unpaced; else pacing starts at this speed
    unsigned maxBaud = 115200;             // fastest speed the bootloader locks to
    std::chrono::milliseconds eraseTime{0};
    std::chrono::milliseconds writeTime{0};
    std::chrono::milliseconds infoTime{0};
    // A USB adapter's latency timer: what the device sends reaches the host only at
    // the next tick of this period (0: at once).
    std::chrono::milliseconds latency{0};

    // Files.
    std::string transcriptPath;
    std::string flashOutPath;
    std::string flashInPath;

    // Faults of the application face.
    bool noResetReply = false;
    bool badCrc8 = false;       // every application reply
    bool badCrc8Reset = false;  // only the reply to the reset command
    std::optional<std::uint8_t> appReplyLength;  // length byte of application replies

    // Faults of the bootloader face.
    bool silentBootloader = false;
    unsigned noEcho = 0;         // the first K sync bytes get no echo
    unsigned wrongEcho = 0;      // the K sync bytes after those get wrongEchoByte
    std::uint8_t wrongEchoByte = 0x00;
    bool infoBadCrc = false;
    std::vector<std::uint8_t> infoNoise;  // sent before every information reply
    CommandFailure eraseFail;
    CommandFailure writeFail;
    bool writeReplyUnescaped = false;
    unsigned unplugAfter = 0;    // unplug after this many answered writes; 0 = never
    bool unplugInBreak = false;  // unplug once the host has been quiet in the bootloader for kBreakSilence
    unsigned eraseReplyTwice = 0;  // erase command K is answered twice; 0 = none
    unsigned writeReplyTwice = 0;  // write command K is answered twice; 0 = none

    // Faults of the line.
    std::uint64_t flipByte = 0;  // 1-based number of the host's byte that arrives spoilt; 0 = none
    std::uint8_t flipBit = 0;    // which bit of it, 0 to 7
    std::optional<std::uint64_t> holdAfter;  // the host's output stops after this many bytes

    bool help = false;
    bool programVersion = false;  // "--version" alone: print the program's version
};

struct ParseResult {
    Options options;
    std::string error;  // empty when the command line was good
};

// args excludes the program name. env_dir is the value of ZBCOMM_DEVICE_DIR (or
// empty), used when --dir is not given. "--version" as the only argument asks for
// the program's version; with a value it is the bootloader version reported.
ParseResult parseOptions(const std::vector<std::string>& args, const std::string& envDir);

std::string usageText();

}  // namespace zb::devsim
