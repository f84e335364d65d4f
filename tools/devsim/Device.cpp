#include "Device.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "Flash.h"
#include "Line.h"

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

Device::Device(const Options& options, std::vector<std::uint8_t> flash, Transcript& transcript)
    : options_(options),
      transcript_(transcript),
      flash_(std::move(flash)),
      mode_(options.noApp ? Mode::Bootloader : Mode::Application),
      bootDecoder_(syncQuietFor(byteTimeAt(options.baud))),
      bootBaud_(kApplicationBaud),
      syncQuiet_(syncQuietFor(byteTimeAt(options.baud)))
{
}

void Device::arrived(std::uint8_t byte, TimePoint at, unsigned hostBaud)
{
    expire(at);
    if (mode_ == Mode::Unplugged)
        return;
    byte = listen(byte, at, hostBaud);
    lastByte_ = at;
    if (mode_ == Mode::Application)
        handle(shortDecoder_.feed(byte, at, hostBaud));
    else
        handle(bootDecoder_.feed(byte, at, hostBaud));
}

void Device::expire(TimePoint now)
{
    if (mode_ == Mode::Application)
        handle(shortDecoder_.expire(now));
    else if (mode_ == Mode::Bootloader)
        handle(bootDecoder_.expire(now));
    noticeBreak(now);
    unplugWhenQuiet(now);
}

std::optional<TimePoint> Device::deadline() const
{
    std::optional<TimePoint> due;
    if (mode_ == Mode::Application)
        due = shortDecoder_.deadline();
    else if (mode_ == Mode::Bootloader)
        due = bootDecoder_.deadline();
    if (auto b = breakDue(); b && (!due || *b < *due))
        due = b;
    if (auto u = quietUnplugDue(); u && (!due || *u < *due))
        due = u;
    return due;
}

// --- Line speed ---

unsigned Device::baud() const
{
    return mode_ == Mode::Application ? kApplicationBaud : bootBaud_;
}

unsigned Device::pacingBaud() const
{
    if (options_.baud == 0)
        return 0;
    return everLocked_ ? bootBaud_ : options_.baud;
}

std::uint8_t Device::listen(std::uint8_t byte, TimePoint at, unsigned hostBaud)
{
    bool aboveMax = false;
    if (mode_ == Mode::Bootloader && measuring_ && byte == kStx) {
        aboveMax = hostBaud > options_.maxBaud;
        if (!aboveMax && hostBaud > 0)
            lock(hostBaud, at);
    }
    if (hostBaud == baud()) {
        garbled_.reset();
        return byte;
    }
    noteGarbled(at, hostBaud, aboveMax);
    return kGarbledByte;
}

void Device::lock(unsigned speed, TimePoint at)
{
    measuring_ = false;
    everLocked_ = true;
    bootBaud_ = speed;
    syncQuiet_ = syncQuietFor(byteTimeAt(pacingBaud()));
    bootDecoder_.setSyncQuiet(syncQuiet_);
    transcript_.event(at, "lock", std::to_string(speed));
}

void Device::noteGarbled(TimePoint at, unsigned hostBaud, bool aboveMax)
{
    // One line for each burst of garbled bytes.
    if (!garbled_ || garbled_->hostBaud != hostBaud || at - garbled_->last > syncQuiet_) {
        std::string text = std::string(mode_ == Mode::Application ? "application" : "bootloader") + " at " +
                           std::to_string(baud()) + " baud, host at " + std::to_string(hostBaud);
        if (aboveMax)
            text += ", above --max-baud " + std::to_string(options_.maxBaud);
        transcript_.event(at, "garbled", text);
    }
    garbled_ = GarbledRun{hostBaud, at};
}

std::optional<TimePoint> Device::breakDue() const
{
    if (mode_ != Mode::Bootloader || measuring_ || !lastByte_)
        return std::nullopt;
    return *lastByte_ + kBreakSilence;
}

void Device::noticeBreak(TimePoint now)
{
    auto due = breakDue();
    if (!due || now < *due)
        return;
    measuring_ = true;
    transcript_.event(*due, "break",
                      "no byte from the host for " + std::to_string(kBreakSilence.count()) + " ms");
}

std::optional<TimePoint> Device::quietUnplugDue() const
{
    if (!options_.unplugInBreak || mode_ != Mode::Bootloader || !lastByte_)
        return std::nullopt;
    return *lastByte_ + kBreakSilence;
}

void Device::unplugWhenQuiet(TimePoint now)
{
    auto due = quietUnplugDue();
    if (!due || now < *due)
        return;
    transcript_.event(*due, "fault", "unplugged in the break");
    mode_ = Mode::Unplugged;
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
    replies_.push_back({std::move(bytes), notBefore, label, baud()});
}

void Device::handle(const std::vector<Received>& events)
{
    for (const Received& r : events) {
        if (mode_ == Mode::Unplugged)
            return;
        switch (r.kind) {
        case Received::Kind::Junk:
            transcript_.rx(r.at, "junk", r.wire, r.baud);
            break;
        case Received::Kind::BadCrc:
            transcript_.rx(r.at, mode_ == Mode::Application ? "short-badcrc" : "frame-badcrc", r.wire, r.baud);
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
    transcript_.rx(r.at, "short", r.wire, r.baud);
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
        measuring_ = true;
        transcript_.event(r.at, "mode", "bootloader");
    }
}

// --- Bootloader face ---

void Device::handleSync(const Received& r)
{
    transcript_.rx(r.at, "sync", r.wire, r.baud);
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
    transcript_.rx(r.at, "frame", r.wire, r.baud);
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
    if (!options_.infoNoise.empty()) {
        transcript_.event(at, "fault", "bytes before the information reply");
        reply(options_.infoNoise, at + options_.infoTime, "noise");
    }
    reply(encodeFrame(body, options_.infoBadCrc ? kBadCrc16 : 0), at + options_.infoTime, "frame");
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
