// Erasing and writing the application area, the flash below the bootloader's start
// address. Erasing runs from the top down, 16 rows per command; writing runs from
// address 0 up, 56 rows per command, after the image's reset instruction has been
// moved to just below the bootloader and replaced by a jump into it.
#include <algorithm>
#include <cstdlib>

#include "Bootloadercomm.h"

namespace zb {

namespace {

constexpr std::uint16_t kRowSize = 64;  // bytes
constexpr std::uint8_t kEraseRows = 16;
constexpr std::uint32_t kEraseRegion = kEraseRows * kRowSize;  // 1024 bytes
constexpr std::uint8_t kWriteRows = 56;
constexpr std::uint32_t kWriteBlock = kWriteRows * kRowSize;  // 3584 bytes
constexpr std::uint8_t kEraseCommand = 0x03;
constexpr std::uint8_t kWriteCommand = 0x04;
// Replies: STX, command, CRC-16, ETX; the write reply's command byte 0x04 is escaped.
constexpr std::int32_t kEraseReplyBytes = 5;
constexpr std::int32_t kWriteReplyBytes = 6;
// The highest start address the information query accepts. The write reads the
// image up to the end of the last block, at most 0x10A00 bytes for this address.
constexpr std::uint32_t kHighestBootStart = 0x10000;
// The two-word jump into the bootloader and the reset instruction it replaces.
constexpr std::uint32_t kResetInstructionBytes = 4;
constexpr const char* kErasePhase = "Erasing Flash...";
constexpr const char* kWritePhase = "Writing Flash...";
// Bits per byte on the line: start bit, 8 data bits, stop bit.
constexpr std::uint32_t kBitsPerByte = 10;
// Beyond the frame's own time on the line: programming the block and the reply.
constexpr std::uint32_t kWriteMarginMs = 600;

// The write time-out starts before the frame is sent. 2500 ms cover an ordinary
// frame at 19200 baud; a block rich in STX, ETX and DLE bytes is up to twice as long
// on the line, and then the frame's own time plus a margin is allowed.
std::uint32_t writeTimeoutMs(std::int32_t frameBytes, long baud) {
    if (baud <= 0 || frameBytes <= 0) return kWriteMs;
    const std::uint64_t bits = static_cast<std::uint64_t>(frameBytes) * kBitsPerByte;
    const std::uint64_t lineMs = (bits * 1000 + static_cast<std::uint64_t>(baud) - 1) / static_cast<std::uint64_t>(baud);
    return static_cast<std::uint32_t>(std::max<std::uint64_t>(kWriteMs, lineMs + kWriteMarginMs));
}

}  // namespace

bool ZbBootloader::eraseFlash() {
    logLine(kErasePhase);
    // Commands erase 16 rows each: any other start address would leave a remainder
    // that no command fits, and the row count would never reach 0.
    if (BootStart % kEraseRegion != 0) {
        logLine(formatText("Erasing refused: start address %06X is not a multiple of 1024", BootStart));
        return false;
    }
    // A larger address does not fit the 16-bit row count: part of the area would be
    // left unerased and reported as erased.
    if (BootStart > kHighestBootStart) {
        logLine(formatText("Erasing refused: start address %06X is above 010000", BootStart));
        return false;
    }
    EraseAddress = BootStart - 1;
    RowSize = kRowSize;
    RowsLeft = static_cast<std::uint16_t>(BootStart / RowSize);
    Owner.setGaugeMax(RowsLeft);
    Owner.setGaugeProgress(RowsLeft);
    // The gauge counts down here; the share is counted from the rows themselves.
    const std::int64_t rowsToErase = RowsLeft;
    Owner.showPhaseShare(kErasePhase, 0, rowsToErase);
    while (RowsLeft != 0) {
        if (!eraseBlock(EraseAddress, kEraseRows)) return false;
        RowsLeft = static_cast<std::uint16_t>(RowsLeft - kEraseRows);
        EraseAddress -= kEraseRegion;
        Owner.setGaugeProgress(RowsLeft);
        Owner.showPhaseShare(kErasePhase, rowsToErase - RowsLeft, rowsToErase);
        Owner.setProgressText(formatText("Erasing address: %04X", EraseAddress));
    }
    Owner.setProgressText("Erasing completed!");
    logLine("Erasing complete...");
    return true;
}

bool ZbBootloader::eraseBlock(std::uint32_t address, std::uint8_t rows) {
    buildAddressFrame(kEraseCommand, address, rows, nullptr, 0);
    // The reply is only what arrives after the command: a stale copy of an earlier
    // reply would otherwise confirm this erase.
    Comm->DiscardInput();
    startTimer(kEraseMs);
    Comm->ReadComm(RecvBuf, kEraseReplyBytes);
    if (!sendCommand()) return false;
    // An erase the device never confirmed fails. After a time-out RecvBuf still holds
    // the previous erase's reply, which would otherwise pass as this one's.
    if (!waitForData()) return false;
    return checkReply(kEraseCommand);
}

bool ZbBootloader::writeFlash(std::uint8_t* image) {
    logLine(kWritePhase);
    // The reset instruction moves to the four bytes below the bootloader.
    if (BootStart < kResetInstructionBytes) {
        logLine(formatText("Writing refused: start address %06X leaves no room below the bootloader", BootStart));
        return false;
    }
    // The last block reaches up to 3583 bytes beyond the start address; the image
    // is only sized for addresses the information query accepts.
    if (BootStart > kHighestBootStart) {
        logLine(formatText("Writing refused: start address %06X is above 010000", BootStart));
        return false;
    }
    for (std::uint32_t i = 0; i < kResetInstructionBytes; ++i) image[BootStart - 1 - i] = image[3 - i];

    // GOTO BootStart: first word 0xEF and bits 7..0 of the word address, second word
    // 0xF and bits 19..8, both stored low byte first.
    const std::uint32_t word = (BootStart + 2) / 2;
    image[0] = static_cast<std::uint8_t>(word);
    image[1] = 0xEF;
    image[2] = static_cast<std::uint8_t>(word >> 8);
    image[3] = static_cast<std::uint8_t>(((word >> 16) & 0xFF) | 0xF0);

    std::uint32_t used = BootStart;
    while (used > 1 && image[used - 1] == 0xFF) --used;

    Owner.setGaugeMax(static_cast<std::uint16_t>(used / kRowSize + 1));
    Owner.setGaugeProgress(0);
    Owner.showPhaseShare(kWritePhase, 0, used);
    for (std::uint32_t address = 0; address < used; address += kWriteBlock) {
        Owner.setProgressText(formatText("Write address: %04X", address));
        if (!writeBlock(address, kWriteRows, image + address)) {
            Owner.setGaugeProgress(0);
            logLine("Writing errror...");
            return false;
        }
        Owner.setGaugeProgress(Owner.gaugeProgress() + kWriteRows);
        Owner.showPhaseShare(kWritePhase, std::min<std::uint32_t>(address + kWriteBlock, used), used);
    }
    Owner.setProgressText("Completed!");
    Owner.setGaugeProgress(0);
    logLine("Writing complete...");
    return true;
}

bool ZbBootloader::writeBlock(std::uint32_t address, std::uint8_t rows, const std::uint8_t* data) {
    // SendBuf holds 56 rows with every byte escaped, and no more.
    if (rows > kWriteRows) return false;
    buildAddressFrame(kWriteCommand, address, rows, data, rows * kRowSize);
    // The speed the port runs at, not the stored rate text: without a faster line
    // requested, that reads "57600" after activation while the port stays at 19200.
    Comm->DiscardInput();
    startTimer(writeTimeoutMs(FrameLength, Comm->LineBaudRate()));
    Comm->ReadComm(RecvBuf, kWriteReplyBytes);
    if (!sendCommand()) return false;
    return waitForReplyEnd(kWriteReplyBytes - 1) && checkReply(kWriteCommand);
}

}  // namespace zb
