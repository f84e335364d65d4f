// The two frame formats the device understands, and decoders that cut the byte
// stream from the host into them.
//
// Bootloader frames: STX, body, CRC-16 of the body (low byte first), ETX, where
// every STX, ETX or DLE after the opening STX is sent as DLE + byte. The STX value
// doubles as the lone synchronisation byte, which the host sends by itself and
// then waits for; a pseudo-terminal carries no break to tell the two apart, so a
// 0x0F followed by a quiet spell is taken as synchronisation and a 0x0F followed
// straight away by more bytes as the start of a frame.
//
// Short frames (application firmware): code, length (whole frame), data, CRC-8 of
// everything before it. No escaping.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "Clock.h"

namespace zb::devsim {

inline constexpr std::uint8_t kStx = 0x0F;
inline constexpr std::uint8_t kEtx = 0x04;
inline constexpr std::uint8_t kDle = 0x05;

// A partial frame is dropped when the host stops sending in the middle of it for
// this long (a real device's receive time-out).
inline constexpr std::chrono::milliseconds kFrameGap{200};
// Quiet time after a lone 0x0F before it counts as a synchronisation byte; at
// least two byte times on a paced line. The host waits 100 ms for the echo.
inline constexpr std::chrono::milliseconds kSyncQuiet{5};
// Longest frame body accepted: a write of 255 rows of 64 bytes plus header and CRC.
inline constexpr std::size_t kMaxBody = 6 + 255 * 64 + 2;

// STX, body and its CRC-16 (xored with crcXor), escaped, ETX.
std::vector<std::uint8_t> encodeFrame(const std::vector<std::uint8_t>& body, std::uint16_t crcXor = 0);
// Short frame: code, length, `length - 3` zero data bytes, CRC-8 (xored with crcXor).
// A length below 3 gives just code and length.
std::vector<std::uint8_t> encodeShortFrame(std::uint8_t code, std::uint8_t length, std::uint8_t crcXor = 0);

struct Received {
    enum class Kind {
        Sync,         // a lone synchronisation byte
        Frame,        // a frame with a good CRC; body holds it without the CRC
        BadCrc,       // a complete frame whose CRC does not match
        Junk,         // bytes that formed no frame
    };
    Kind kind;
    std::vector<std::uint8_t> wire;  // the bytes as they came from the host
    std::vector<std::uint8_t> body;  // Frame: body without CRC (short frames: all bytes)
    TimePoint at;                    // arrival of the last byte (Sync: of the 0x0F)
    unsigned baud = 0;               // the host's line speed when that byte came
};

// Decoder of the bootloader face.
class BootDecoder {
public:
    explicit BootDecoder(Duration syncQuiet);
    void setSyncQuiet(Duration syncQuiet) { syncQuiet_ = syncQuiet; }

    // Byte arrival times must not decrease; expire() may be interleaved. `baud` is
    // only passed on in what the byte completes.
    std::vector<Received> feed(std::uint8_t byte, TimePoint at, unsigned baud = 0);
    // Ends what time alone ends: a pending 0x0F becomes a sync byte, a stalled
    // frame or a run of junk is given up.
    std::vector<Received> expire(TimePoint now);
    // The next time at which expire() has something to do.
    std::optional<TimePoint> deadline() const;

private:
    enum class State { Idle, PendingStx, InFrame, Escaped };
    void flushJunk(std::vector<Received>& out);
    void giveUpFrame(std::vector<Received>& out);
    void finishFrame(std::vector<Received>& out, TimePoint at);

    Duration syncQuiet_;
    State state_ = State::Idle;
    std::vector<std::uint8_t> wire_;  // bytes of the current frame, STX included
    std::vector<std::uint8_t> body_;  // unescaped bytes between STX and ETX
    std::vector<std::uint8_t> junk_;
    TimePoint last_{};                // arrival of the latest byte
    unsigned frameBaud_ = 0;          // line speed of the latest byte of the frame
    unsigned junkBaud_ = 0;           // ... and of the junk run
};

// Decoder of the application face.
class ShortDecoder {
public:
    std::vector<Received> feed(std::uint8_t byte, TimePoint at, unsigned baud = 0);
    std::vector<Received> expire(TimePoint now);
    std::optional<TimePoint> deadline() const;

private:
    std::vector<std::uint8_t> frame_;
    TimePoint last_{};
    unsigned baud_ = 0;
};

}  // namespace zb::devsim
