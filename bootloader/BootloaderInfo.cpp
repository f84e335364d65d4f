// The bootloader information query: boot block size, version and the bootloader's
// start address, below which the application lives.
#include <cstring>

#include "Bootloadercomm.h"

namespace zb {

namespace {

// STX, command 0x00, its CRC-16 0x0000 low byte first, ETX: nothing to escape.
constexpr std::uint8_t kInfoCommand[] = {kStx, 0x00, 0x00, 0x00, kEtx};
// More than any information reply without escapes is long, so a normal reply ends
// the wait by the time-out and is then searched for and checked.
constexpr std::int32_t kInfoReadBytes = 24;
constexpr std::uint32_t kHighestBootStart = 0x10000;

std::uint32_t littleEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8;
}

}  // namespace

bool ZbBootloader::getBootloaderInfo() {
    std::memcpy(SendBuf, kInfoCommand, sizeof kInfoCommand);
    startTimer(kInfoMs);
    if (!Comm->WriteComm(SendBuf, sizeof kInfoCommand)) {
        // No query went out, so nothing in RecvBuf can be its reply.
        stopTimer();
        return false;
    }
    Comm->ReadComm(RecvBuf, kInfoReadBytes);
    // A reply that fills the whole read is taken as it stands, at fixed positions.
    if (!waitForData()) {
        if (!findFrame()) return false;
        if (!replyCrcOk()) {
            logLine("getBootloaderInfo: Bad CRC");
            return false;
        }
    }
    logLine("getBootloaderInfo OK");
    logLine(formatText("Boot block size: %04u bytes", littleEndian16(RecvBuf + 1)));
    logLine(formatText("Bootloader version %01u.%02u", static_cast<unsigned>(RecvBuf[3]),
                       static_cast<unsigned>(RecvBuf[4])));
    BootStart = littleEndian16(RecvBuf + 7) | littleEndian16(RecvBuf + 9) << 16;
    logLine(formatText("Bootloader start address %06X", BootStart));
    if (BootStart > kHighestBootStart) {
        logLine("Bootloader address error!");
        return false;
    }
    return true;
}

}  // namespace zb
