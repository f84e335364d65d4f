#include "Device.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "Flash.h"

namespace zb::devsim {
namespace {

constexpr std::uint8_t kCmdInformation = 0x00;
constexpr std::uint8_t kCmdErase = 0x03;
constexpr std::uint8_t kCmdWrite = 0x04;
constexpr std::uint8_t kShortProbe = 0x81;
constexpr std::uint8_t kShortReset = 0x93;
constexpr std::uint8_t kShortReplyLength = 3;
constexpr std::size_t kRowSize = 64;              // bytes
constexpr std::size_t kAddressedHeader = 6;       // command, 3 address bytes, 0x00, rows
constexpr std::uint16_t kBadCrc16 = 0xFFFF;       // xored into a CRC to spoil it
constexpr std::uint8_t kBadCrc8 = 0xFF;

std::uint32_t addressOf(const std::vector<std::uint8_t>& body)
{
    return static_cast<std::uint32_t>(body[1] | (body[2] << 8) | (body[3] << 16));
}

Duration syncQuietFor(Duration byteTime)
{
    return std::max<Duration>(kSyncQuiet, 2 * byteTime);
}

std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

}  // namespace

Device::Device(const Options& options, std::vector<std::uint8_t> flash, Duration byteTime,
               Transcript& transcript)
    : options_(options),
      transcript_(transcript),
      flash_(std::move(flash)),
      mode_(options.noApp ? Mode::Bootloader : Mode::Application),
      bootDecoder_(syncQuietFor(byteTime))
{
}

void Device::arrived(std::uint8_t byte, TimePoint at)
{
    if (mode_ == Mode::Application)
        handle(shortDecoder_.feed(byte, at));
    else if (mode_ == Mode::Bootloader)
        handle(bootDecoder_.feed(byte, at));
}

void Device::expire(TimePoint now)
{
    if (mode_ == Mode::Application)
        handle(shortDecoder_.expire(now));
    else if (mode_ == Mode::Bootloader)
        handle(bootDecoder_.expire(now));
}

std::optional<TimePoint> Device::deadline() const
{
    if (mode_ == Mode::Application)
        return shortDecoder_.deadline();
    if (mode_ == Mode::Bootloader)
        return bootDecoder_.deadline();
    return std::nullopt;
}

std::vector<Device::Reply> Device::takeReplies()
{
    return std::exchange(replies_, {});
}

bool Device::takeFlashChanged()
{
    return std::exchange(flashChanged_, false);
}

void Device::reply(std::vector<std::uint8_t> bytes, TimePoint notBefore, const char* label)
{
    replies_.push_back({std::move(bytes), notBefore, label});
}

void Device::handle(const std::vector<Received>& events)
{
    for (const Received& r : events) {
        if (mode_ == Mode::Unplugged)
            return;
        switch (r.kind) {
        case Received::Kind::Junk:
            transcript_.rx(r.at, "junk", r.wire);
            break;
        case Received::Kind::BadCrc:
            transcript_.rx(r.at, mode_ == Mode::Application ? "short-badcrc" : "frame-badcrc", r.wire);
            break;
        case Received::Kind::Sync:
            handleSync(r);
            break;
        case Received::Kind::Frame:
            if (mode_ == Mode::Application)
                handleShort(r);
            else
                handleFrame(r);
            break;
        }
    }
}

// --- Application face ---

void Device::handleShort(const Received& r)
{
    transcript_.rx(r.at, "short", r.wire);
    std::uint8_t code = r.body[0];
    if (code != kShortProbe && code != kShortReset) {
        transcript_.event(r.at, "refused", "unknown short command " + hex(code));
        return;
    }
    if (code == kShortReset && options_.noResetReply) {
        transcript_.event(r.at, "fault", "reset command ignored");
        return;
    }
    bool spoil = options_.badCrc8 || (code == kShortReset && options_.badCrc8Reset);
    reply(encodeShortFrame(code, options_.appReplyLength.value_or(kShortReplyLength), spoil ? kBadCrc8 : 0),
          r.at, "short");
    if (code == kShortReset) {
        mode_ = Mode::Bootloader;
        transcript_.event(r.at, "mode", "bootloader");
    }
}

// --- Bootloader face ---

void Device::handleSync(const Received& r)
{
    transcript_.rx(r.at, "sync", r.wire);
    unsigned attempt = ++syncCount_;
    if (options_.silentBootloader) {
        transcript_.event(r.at, "fault", "silent bootloader");
    } else if (attempt <= options_.noEcho) {
        transcript_.event(r.at, "fault", "sync " + std::to_string(attempt) + " not echoed");
    } else if (attempt <= options_.noEcho + options_.wrongEcho) {
        transcript_.event(r.at, "fault", "sync " + std::to_string(attempt) + " echoed wrongly");
        reply({options_.wrongEchoByte}, r.at, "echo");
    } else {
        reply({kStx}, r.at, "echo");
    }
}

void Device::handleFrame(const Received& r)
{
    transcript_.rx(r.at, "frame", r.wire);
    if (options_.silentBootloader) {
        transcript_.event(r.at, "fault", "silent bootloader");
        return;
    }
    switch (r.body[0]) {
    case kCmdInformation:
        if (r.body.size() == 1) {
            information(r.at);
            return;
        }
        break;
    case kCmdErase:
        if (r.body.size() == kAddressedHeader) {
            erase(r.body, r.at);
            return;
        }
        break;
    case kCmdWrite:
        if (r.body.size() >= kAddressedHeader && r.body.size() == kAddressedHeader + r.body[5] * kRowSize) {
            write(r.body, r.at);
            return;
        }
        break;
    default:
        transcript_.event(r.at, "refused", "unknown command " + hex(r.body[0]));
        return;
    }
    transcript_.event(r.at, "refused", "command " + hex(r.body[0]) + " with a body of " +
                                           std::to_string(r.body.size()) + " bytes");
}

void Device::information(TimePoint at)
{
    // The reply has no command code: its fields start right after the STX, and the
    // CRC-16 follows the start address.
    const std::uint32_t start = options_.bootStart;
    std::vector<std::uint8_t> body{
        static_cast<std::uint8_t>(options_.bootSize & 0xFF),
        static_cast<std::uint8_t>(options_.bootSize >> 8),
        options_.versionMajor,
        options_.versionMinor,
        0x00,
        0x00,
        static_cast<std::uint8_t>(start & 0xFF),
        static_cast<std::uint8_t>((start >> 8) & 0xFF),
        static_cast<std::uint8_t>((start >> 16) & 0xFF),
        static_cast<std::uint8_t>((start >> 24) & 0xFF),
    };
    if (options_.infoBadCrc)
        transcript_.event(at, "fault", "information reply with a bad CRC");
    reply(encodeFrame(body, options_.infoBadCrc ? kBadCrc16 : 0), at, "frame");
}

std::vector<std::uint8_t> Device::commandReply(std::uint8_t command, const CommandFailure& failure,
                                               unsigned number, TimePoint at)
{
    if (failure.command == number && failure.mode == FailMode::BadCrc) {
        transcript_.event(at, "fault", "reply with a bad CRC");
        return encodeFrame({command}, kBadCrc16);
    }
    if (failure.command == number && failure.mode == FailMode::WrongCmd) {
        transcript_.event(at, "fault", "reply with a wrong command code");
        return encodeFrame({static_cast<std::uint8_t>(command ^ 0x01)});
    }
    if (command == kCmdWrite && options_.writeReplyUnescaped) {
        transcript_.event(at, "fault", "write reply unescaped");
        return {kStx, kCmdWrite, 0x84, 0x40, kEtx};
    }
    return encodeFrame({command});
}

void Device::erase(const std::vector<std::uint8_t>& body, TimePoint at)
{
    unsigned number = ++eraseCount_;
    if (options_.eraseFail.command == number && options_.eraseFail.mode == FailMode::Silent) {
        transcript_.event(at, "fault", "erase " + std::to_string(number) + " lost");
        return;
    }
    // The address is the highest byte of the region; whole rows are erased.
    std::uint32_t top = addressOf(body);
    std::size_t length = body[5] * kRowSize;
    if (top >= flash_.size() || length == 0 || length > top + 1ULL) {
        transcript_.event(at, "refused", "erase below " + hex(top) + " out of range");
        return;
    }
    std::size_t first = (top + 1 - length) / kRowSize * kRowSize;
    std::size_t end = (top / kRowSize + 1) * kRowSize;
    std::fill(flash_.begin() + static_cast<std::ptrdiff_t>(first), flash_.begin() + static_cast<std::ptrdiff_t>(end),
              kErased);
    flashChanged_ = true;
    answer(commandReply(kCmdErase, options_.eraseFail, number, at), at + options_.eraseTime,
           options_.eraseReplyTwice == number);
}

void Device::answer(std::vector<std::uint8_t> bytes, TimePoint notBefore, bool twice)
{
    if (twice) {
        // Both copies leave as one piece, so the second is at the host as soon as
        // the first is: whatever the host does next finds it waiting.
        transcript_.event(notBefore, "fault", "reply sent twice");
        const std::size_t size = bytes.size();
        bytes.resize(2 * size);
        std::copy_n(bytes.begin(), size, bytes.begin() + static_cast<std::ptrdiff_t>(size));
    }
    reply(std::move(bytes), notBefore, "frame");
}

void Device::write(const std::vector<std::uint8_t>& body, TimePoint at)
{
    unsigned number = ++writeCount_;
    if (options_.writeFail.command == number && options_.writeFail.mode == FailMode::Silent) {
        transcript_.event(at, "fault", "write " + std::to_string(number) + " lost");
        return;
    }
    std::uint32_t address = addressOf(body);
    std::size_t length = body.size() - kAddressedHeader;
    if (address + length > flash_.size()) {
        transcript_.event(at, "refused", "write at " + hex(address) + " out of range");
        return;
    }
    // Programming can only clear bits; only an erase brings them back to 1.
    for (std::size_t i = 0; i < length; ++i)
        flash_[address + i] &= body[kAddressedHeader + i];
    flashChanged_ = true;
    answer(commandReply(kCmdWrite, options_.writeFail, number, at), at + options_.writeTime,
           options_.writeReplyTwice == number);
    if (options_.unplugAfter == number) {
        transcript_.event(at, "fault", "unplugged after write " + std::to_string(number));
        mode_ = Mode::Unplugged;
    }
}

}  // namespace zb::devsim
