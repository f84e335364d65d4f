// The bootloader information query: boot block size, version and the bootloader's
// start address, below which the application lives.
//
// The start address decides which flash is erased and written, so every field comes
// from a reply frame that passed its CRC-16 and lies within the bytes this query
// received, read from that frame's own STX: never from bytes nothing has checked, nor
// from an older reply that RecvBuf still holds.
#include <cstring>

#include "Bootloadercomm.h"

namespace zb {

namespace {

// STX, command 0x00, its CRC-16 0x0000 low byte first, ETX: nothing to escape.
constexpr std::uint8_t kInfoCommand[] = {kStx, 0x00, 0x00, 0x00, kEtx};
// More than any information reply without escapes is long, so a normal reply ends
// the wait by the time-out and is then searched for and checked.
constexpr std::int32_t kInfoReadBytes = 24;
// Size, version, two bytes not interpreted, start address: the reply's fields.
constexpr std::int32_t kInfoFields = 10;
constexpr std::uint32_t kHighestBootStart = 0x10000;
// ReadComm's destination holds at least this many bytes (the traffic log copies them).
constexpr std::int32_t kReadDestinationMin = 8;

std::uint32_t littleEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8;
}

}  // namespace

ZbBootloader::FoundFrame ZbBootloader::receiveInfoReply(std::chrono::steady_clock::time_point deadline) {
    // Timed out: every byte the reception stored counts, also when it completed just
    // after the deadline.
    if (!waitForData()) return findCheckedFrame(Comm->StoredCount(), kInfoFields);
    std::int32_t received = kInfoReadBytes;
    FoundFrame frame = findCheckedFrame(received, kInfoFields);
    // The read filled up. A reply behind other bytes, or made longer than the read
    // by its escapes, may not be whole yet: the query reads on, a byte at a time,
    // until a checked reply is there or its time is up. Once it is up, what the port
    // holds still counts, taken in one reception.
    while (frame.result != FrameSearch::Found &&
           received + kReadDestinationMin < static_cast<std::int32_t>(kReceiveBufferSize)) {
        const bool timeUp = std::chrono::steady_clock::now() >= deadline;
        const std::int32_t count = timeUp ? static_cast<std::int32_t>(kReceiveBufferSize) - 1 - received : 1;
        startTimerUntil(deadline);
        Comm->ReadComm(RecvBuf + received, count);
        const bool complete = waitForData();
        received += complete ? count : Comm->StoredCount();
        frame = findCheckedFrame(received, kInfoFields);
        if (!complete || timeUp) break;
    }
    return frame;
}

bool ZbBootloader::getBootloaderInfo() {
    std::memcpy(SendBuf, kInfoCommand, sizeof kInfoCommand);
    startTimer(kInfoMs);
    const auto deadline = Timer->deadline();
    if (!Comm->WriteComm(SendBuf, sizeof kInfoCommand)) {
        // No query went out, so nothing in RecvBuf can be its reply.
        stopTimer();
        return false;
    }
    Comm->ReadComm(RecvBuf, kInfoReadBytes);
    const FoundFrame frame = receiveInfoReply(deadline);
    if (frame.result == FrameSearch::None) return false;
    if (frame.result == FrameSearch::Bad) {
        logLine("getBootloaderInfo: Bad CRC");
        return false;
    }
    FrameStart = frame.start;
    FrameEnd = frame.end;
    unescapeReply();
    const std::uint8_t* reply = RecvBuf + FrameStart;
    logLine("getBootloaderInfo OK");
    logLine(formatText("Boot block size: %04u bytes", littleEndian16(reply + 1)));
    logLine(formatText("Bootloader version %01u.%02u", static_cast<unsigned>(reply[3]),
                       static_cast<unsigned>(reply[4])));
    BootStart = littleEndian16(reply + 7) | littleEndian16(reply + 9) << 16;
    logLine(formatText("Bootloader start address %06X", BootStart));
    if (BootStart > kHighestBootStart) {
        logLine("Bootloader address error!");
        return false;
    }
    return true;
}

}  // namespace zb
