// The two frame formats on the line and their exchange.
//
// Bootloader frames: STX, command, parameters or data, CRC-16 (low byte first), ETX.
// Every byte between STX and ETX that is STX, ETX or DLE goes on the line as DLE
// followed by the byte; the CRC covers the bytes before escaping.
//
// Short frames (the application firmware): code, total length, data, CRC-8 over the
// bytes before it. No escaping. Replies are read in two stages: the first two bytes,
// then the rest that the length byte announces.
//
// Reply parsing works on RecvBuf with indices that come from the received bytes and
// from FrameStart, which survives from earlier frames. Every index is checked against
// the buffer before it is used, so that no reply content can reach outside it.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "Bootloadercomm.h"

namespace zb {

namespace {

// Code, length and CRC-8: the shortest short frame.
constexpr std::uint8_t kShortFrameMinLength = 3;
// The first read of a short-frame reply: code and length.
constexpr std::int32_t kShortHeaderBytes = 2;
// STX, command, three address bytes, a zero byte and the row count.
constexpr std::int32_t kAddressFrameHeader = 7;
// STX, two CRC bytes and ETX: the shortest bootloader frame.
constexpr std::int32_t kMinFrameSpan = 3;

bool isSpecial(std::uint8_t byte) { return byte == kStx || byte == kEtx || byte == kDle; }

}  // namespace

void ZbBootloader::shortFrameStage() {
    const std::uint8_t length = RecvBuf[1];
    if (length < kShortFrameMinLength) {
        // The rest of such a frame would be zero or fewer bytes, a read that never
        // completes (and a CRC position before the buffer): the reply has failed.
        stopTimer();
        Stat.HeaderStage = false;
        Stat.TimedOut = true;
        return;
    }
    if (Stat.HeaderStage) {
        // The timer keeps running: it covers the whole reply. At most 253 more bytes
        // behind the first two, well inside RecvBuf.
        Comm->ReadComm(RecvBuf + 2, length - 2);
        Stat.HeaderStage = false;
        // Taken only after the deadline (the main thread was held up), the header
        // held the watcher back: it reads nothing until its reception is taken. The
        // rest gets the time the reply had left when the header completed.
        const auto deadline = Timer->deadline();
        if (std::chrono::steady_clock::now() >= deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Comm->CompletedAt()).count();
            startTimer(static_cast<std::uint32_t>(std::max<std::int64_t>(left, 1)));
        }
        return;
    }
    stopTimer();
    Stat.LastCrc8 = crc8Block(Crc8Acc, RecvBuf, length - 1);
    if (Stat.LastCrc8 == RecvBuf[length - 1]) {
        Stat.DataReceived = true;
    } else {
        Stat.TimedOut = true;
    }
}

std::uint16_t ZbBootloader::frameCrc() {
    Crc16Acc.Set(0);
    const std::int32_t end = std::min<std::int32_t>(FrameEnd, static_cast<std::int32_t>(kSendBufferSize));
    for (std::int32_t i = FrameStart + 1; i < end; ++i) Crc16Acc.Update(SendBuf[i]);
    return Crc16Acc.Get();
}

void ZbBootloader::escapeFrame(std::int32_t length) {
    if (length < 1 || length >= static_cast<std::int32_t>(kSendBufferSize)) return;
    std::int32_t etx = length;
    for (std::int32_t i = 1; i < etx; ++i) {
        if (!isSpecial(SendBuf[i])) continue;
        // The largest frame fits when fully escaped; a longer one is left unescaped
        // from here on rather than written past the buffer.
        if (etx + 1 >= static_cast<std::int32_t>(kSendBufferSize)) return;
        std::memmove(SendBuf + i + 1, SendBuf + i, static_cast<std::size_t>(etx - i + 1));
        SendBuf[i] = kDle;
        ++FrameEnd;
        ++FrameLength;
        ++etx;
        ++i;  // the escaped byte itself is data
    }
}

bool ZbBootloader::findFrame() {
    // FrameStart is deliberately not reset: the frame starts at the last STX seen
    // before the first ETX that is not escaped.
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(kReplySearchLength); ++i) {
        const std::uint8_t byte = RecvBuf[i];
        if (byte == kDle) {
            ++i;
        } else if (byte == kStx) {
            FrameStart = i;
        } else if (byte == kEtx) {
            if (i == 0) return false;
            FrameEnd = i;
            unescapeReply();
            return true;
        }
    }
    return false;
}

void ZbBootloader::unescapeReply() {
    if (FrameStart < 0 || FrameEnd >= static_cast<std::int32_t>(kReceiveBufferSize)) return;
    for (std::int32_t i = FrameStart; i < FrameEnd; ++i) {
        if (RecvBuf[i] != kDle) continue;
        std::memmove(RecvBuf + i, RecvBuf + i + 1, static_cast<std::size_t>(FrameEnd - i));
        --FrameEnd;
        // The byte that followed the DLE is now at i and counts as data.
    }
}

bool ZbBootloader::replyCrcOk() {
    // A FrameStart left from an earlier frame can lie at or behind FrameEnd; a frame
    // without room for STX, the CRC and ETX has no valid CRC.
    if (FrameStart < 0 || FrameEnd - FrameStart < kMinFrameSpan ||
        FrameEnd >= static_cast<std::int32_t>(kReceiveBufferSize)) {
        return false;
    }
    Crc16Acc.Set(0);
    for (std::int32_t i = FrameStart + 1; i <= FrameEnd - 3; ++i) Crc16Acc.Update(RecvBuf[i]);
    const std::uint16_t sent = static_cast<std::uint16_t>(RecvBuf[FrameEnd - 2] + 256 * RecvBuf[FrameEnd - 1]);
    return Crc16Acc.Get() == sent;
}

ZbBootloader::FoundFrame ZbBootloader::findCheckedFrame(std::int32_t received, std::int32_t fields) const {
    received = std::clamp<std::int32_t>(received, 0, static_cast<std::int32_t>(kReplySearchLength));
    FoundFrame found;
    for (std::int32_t start = 0; start < received; ++start) {
        if (RecvBuf[start] != kStx) continue;
        // The CRC covers the unescaped bytes before the last two, which are the CRC
        // itself: each byte is added two bytes late, once it cannot be part of it.
        Crc16 crc;
        std::uint8_t older = 0;
        std::uint8_t newer = 0;
        std::int32_t length = 0;  // unescaped bytes after the STX
        std::int32_t end = -1;
        for (std::int32_t i = start + 1; i < received; ++i) {
            std::uint8_t byte = RecvBuf[i];
            if (byte == kEtx) {
                end = i;
                break;
            }
            if (byte == kStx) break;  // another frame starts: this one was cut short
            if (byte == kDle) {
                if (++i >= received) break;
                byte = RecvBuf[i];
            }
            if (length >= 2) crc.Update(older);
            older = newer;
            newer = byte;
            ++length;
        }
        if (end < 0) continue;
        if (found.result == FrameSearch::None) found.result = FrameSearch::Bad;
        const std::uint16_t sent = static_cast<std::uint16_t>(older | newer << 8);
        if (length >= fields + 2 && crc.Get() == sent) found = {FrameSearch::Found, start, end};
    }
    return found;
}

bool ZbBootloader::checkReply(std::uint8_t command) {
    return findFrame() && replyCrcOk() && RecvBuf[1] == command;
}

bool ZbBootloader::waitForReplyEnd(std::int32_t endIndex) {
    waitForData();
    stopTimer();
    if (Stat.DataReceived && endIndex >= 1 && endIndex < static_cast<std::int32_t>(kReceiveBufferSize) &&
        RecvBuf[endIndex] == kEtx && RecvBuf[endIndex - 1] != kDle) {
        return true;
    }
    if (Stat.TimedOut) Comm->StopReading();
    return false;
}

bool ZbBootloader::sendShortCommand(std::uint8_t code) {
    SendBuf[0] = code;
    SendBuf[1] = kShortFrameMinLength;
    SendBuf[2] = crc8Block(Crc8Acc, SendBuf, 2);
    return Comm->WriteComm(SendBuf, 3);
}

bool ZbBootloader::sendCommand() {
    if (Comm->WriteComm(SendBuf, FrameLength)) return true;
    // The line did not take the frame: no reply can come, and the wait armed for it
    // ends here as if it had timed out. A failed write has asked whether the device
    // has gone; if it has, that is said now, once.
    (void)deviceGone();
    stopTimer();
    Comm->StopReading();
    Stat.TimedOut = true;
    Stat.DataReceived = false;
    return false;
}

bool ZbBootloader::receiveShortReply() {
    Stat.TimedOut = false;
    startTimer(kShortReplyMs);
    Stat.HeaderStage = true;
    Comm->ReadComm(RecvBuf, kShortHeaderBytes);
    return waitForData();
}

void ZbBootloader::buildAddressFrame(std::uint8_t command, std::uint32_t address, std::uint8_t rows,
                                     const std::uint8_t* data, std::int32_t dataLength) {
    SendBuf[0] = kStx;
    SendBuf[1] = command;
    SendBuf[2] = static_cast<std::uint8_t>(address);
    SendBuf[3] = static_cast<std::uint8_t>(address >> 8);
    SendBuf[4] = static_cast<std::uint8_t>(address >> 16);
    SendBuf[5] = 0;
    SendBuf[6] = rows;
    if (dataLength > 0) std::memcpy(SendBuf + kAddressFrameHeader, data, static_cast<std::size_t>(dataLength));
    FrameStart = 0;
    FrameEnd = kAddressFrameHeader + dataLength;  // where the CRC goes
    FrameLength = FrameEnd + 2;                    // where the ETX goes
    const std::uint16_t crc = frameCrc();
    SendBuf[FrameLength - 2] = static_cast<std::uint8_t>(crc);
    SendBuf[FrameLength - 1] = static_cast<std::uint8_t>(crc >> 8);
    SendBuf[FrameLength] = kEtx;
    FrameEnd = FrameLength;
    escapeFrame(FrameLength);
    ++FrameLength;  // from the ETX index to the number of bytes to send
}

void ZbBootloader::discardInput() {
    // The data-ready handler ignores everything while Discard is set, so each wait
    // ends by the timer and the first one ends the loop.
    Stat.Discard = true;
    Stat.TimedOut = false;
    while (!Stat.TimedOut) {
        startTimer(kDiscardMs);
        Comm->ReadComm(RecvBuf, 5);
        waitForData();
    }
    Stat.Discard = false;
}

}  // namespace zb
