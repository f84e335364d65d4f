#include "Frames.h"

#include "Crc.h"

namespace zb::devsim {
namespace {

bool isSpecial(std::uint8_t byte)
{
    return byte == kStx || byte == kEtx || byte == kDle;
}

std::uint16_t crc16(const std::uint8_t* data, std::size_t count)
{
    Crc16 crc;
    crc.Set(0);
    for (std::size_t i = 0; i < count; ++i)
        crc.Update(data[i]);
    return crc.Get();
}

constexpr std::uint8_t kShortHeader = 2;  // code and length
constexpr std::uint8_t kShortMinimum = 3;

}  // namespace

std::vector<std::uint8_t> encodeFrame(const std::vector<std::uint8_t>& body, std::uint16_t crcXor)
{
    std::uint16_t crc = static_cast<std::uint16_t>(crc16(body.data(), body.size()) ^ crcXor);
    std::vector<std::uint8_t> plain = body;
    plain.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    plain.push_back(static_cast<std::uint8_t>(crc >> 8));

    std::vector<std::uint8_t> wire{kStx};
    for (std::uint8_t byte : plain) {
        if (isSpecial(byte))
            wire.push_back(kDle);
        wire.push_back(byte);
    }
    wire.push_back(kEtx);
    return wire;
}

std::vector<std::uint8_t> encodeShortFrame(std::uint8_t code, std::uint8_t length, std::uint8_t crcXor)
{
    std::vector<std::uint8_t> frame{code, length};
    if (length < kShortMinimum)
        return frame;
    frame.resize(length - 1, 0x00);
    Crc8 acc;
    frame.push_back(static_cast<std::uint8_t>(
        crc8Block(acc, frame.data(), static_cast<std::int32_t>(frame.size())) ^ crcXor));
    return frame;
}

// --- BootDecoder ---

BootDecoder::BootDecoder(Duration syncQuiet) : syncQuiet_(syncQuiet) {}

void BootDecoder::flushJunk(std::vector<Received>& out)
{
    if (junk_.empty())
        return;
    out.push_back({Received::Kind::Junk, std::move(junk_), {}, last_, junkBaud_});
    junk_.clear();
}

void BootDecoder::giveUpFrame(std::vector<Received>& out)
{
    junk_.insert(junk_.end(), wire_.begin(), wire_.end());
    junkBaud_ = frameBaud_;
    wire_.clear();
    body_.clear();
    state_ = State::Idle;
    flushJunk(out);
}

void BootDecoder::finishFrame(std::vector<Received>& out, TimePoint at)
{
    state_ = State::Idle;
    Received frame{Received::Kind::Frame, std::move(wire_), std::move(body_), at, frameBaud_};
    wire_.clear();
    body_.clear();
    if (frame.body.size() < 3) {  // no room for a command code and a CRC
        frame.kind = Received::Kind::Junk;
        frame.body.clear();
    } else {
        std::size_t n = frame.body.size() - 2;
        std::uint16_t expected = static_cast<std::uint16_t>(frame.body[n] | (frame.body[n + 1] << 8));
        frame.body.resize(n);
        if (crc16(frame.body.data(), n) != expected)
            frame.kind = Received::Kind::BadCrc;
    }
    out.push_back(std::move(frame));
}

std::vector<Received> BootDecoder::feed(std::uint8_t byte, TimePoint at, unsigned baud)
{
    std::vector<Received> out = expire(at);
    last_ = at;
    switch (state_) {
    case State::Idle:
        if (byte == kStx) {
            flushJunk(out);
            wire_ = {byte};
            frameBaud_ = baud;
            state_ = State::PendingStx;
        } else {
            junk_.push_back(byte);
            junkBaud_ = baud;
        }
        break;
    case State::PendingStx:
    case State::InFrame:
        if (byte == kStx) {
            // An unescaped STX cannot be inside a frame: start over from it.
            giveUpFrame(out);
            wire_ = {byte};
            frameBaud_ = baud;
            state_ = State::PendingStx;
            break;
        }
        wire_.push_back(byte);
        frameBaud_ = baud;
        if (byte == kEtx) {
            finishFrame(out, at);
        } else if (byte == kDle) {
            state_ = State::Escaped;
        } else {
            body_.push_back(byte);
            state_ = State::InFrame;
        }
        break;
    case State::Escaped:
        wire_.push_back(byte);
        frameBaud_ = baud;
        body_.push_back(byte);
        state_ = State::InFrame;
        break;
    }
    if (body_.size() > kMaxBody)
        giveUpFrame(out);
    return out;
}

std::vector<Received> BootDecoder::expire(TimePoint now)
{
    std::vector<Received> out;
    auto due = deadline();
    if (!due || now < *due)
        return out;
    switch (state_) {
    case State::PendingStx:
        out.push_back({Received::Kind::Sync, std::move(wire_), {}, last_, frameBaud_});
        wire_.clear();
        state_ = State::Idle;
        break;
    case State::InFrame:
    case State::Escaped:
        giveUpFrame(out);
        break;
    case State::Idle:
        flushJunk(out);
        break;
    }
    return out;
}

std::optional<TimePoint> BootDecoder::deadline() const
{
    switch (state_) {
    case State::PendingStx:
        return last_ + syncQuiet_;
    case State::InFrame:
    case State::Escaped:
        return last_ + kFrameGap;
    case State::Idle:
        break;
    }
    if (!junk_.empty())
        return last_ + syncQuiet_;
    return std::nullopt;
}

// --- ShortDecoder ---

std::vector<Received> ShortDecoder::feed(std::uint8_t byte, TimePoint at, unsigned baud)
{
    std::vector<Received> out = expire(at);
    last_ = at;
    baud_ = baud;
    frame_.push_back(byte);
    if (frame_.size() < kShortHeader)
        return out;
    std::uint8_t length = frame_[1];
    if (length < kShortMinimum) {
        out.push_back({Received::Kind::Junk, std::move(frame_), {}, at, baud});
        frame_.clear();
    } else if (frame_.size() == length) {
        Crc8 acc;
        bool good = crc8Block(acc, frame_.data(), length - 1) == frame_[length - 1u];
        std::vector<std::uint8_t> body = good ? frame_ : std::vector<std::uint8_t>{};
        out.push_back({good ? Received::Kind::Frame : Received::Kind::BadCrc, std::move(frame_),
                       std::move(body), at, baud});
        frame_.clear();
    }
    return out;
}

std::vector<Received> ShortDecoder::expire(TimePoint now)
{
    std::vector<Received> out;
    if (auto due = deadline(); due && now >= *due) {
        out.push_back({Received::Kind::Junk, std::move(frame_), {}, last_, baud_});
        frame_.clear();
    }
    return out;
}

std::optional<TimePoint> ShortDecoder::deadline() const
{
    if (frame_.empty())
        return std::nullopt;
    return last_ + kFrameGap;
}

}  // namespace zb::devsim
