// The serial line between host and device, as the emulator models it.
//
// A pseudo-terminal moves bytes at once. With a baud rate set, the line gives each
// byte the time of a real line (10 bits: start, 8 data, stop): a received byte
// counts as arrived only when its stop bit would have arrived, and bytes to send
// leave one after the other, each handed to the pseudo-terminal when its own stop
// bit would have left. With baud 0 nothing is delayed. The rate can change at any
// time (the device locks to another speed); bytes not yet timed take the new one.
//
// The class does no I/O: the caller reads and writes the pseudo-terminal and passes
// the current time, so it can be tested without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "Clock.h"

namespace zb::devsim {

// Duration of one byte at `baud`; zero for baud 0.
Duration byteTimeAt(unsigned baud);

// What a receiver makes of each byte sent at another speed than its own. A real
// one reads nonsense with framing errors; the emulator reads 0x00, which is
// neither a sync byte nor the start of any frame, so that a garbled line behaves
// the same in every run.
inline constexpr std::uint8_t kGarbledByte = 0x00;

class Line {
public:
    explicit Line(unsigned baud);

    // Duration of one byte on the line; zero when unpaced.
    Duration byteTime() const { return byteTime_; }
    void setBaud(unsigned baud);

    // --- Host to device ---
    // When a byte read from the pseudo-terminal at `now` arrives at the device. The
    // device is handed each byte at once and acts on it at its arrival time, which
    // spares a wake-up per byte.
    TimePoint arrival(TimePoint now);

    // --- Device to host ---
    // Queues a reply that may start leaving at `notBefore`. `label` comes back
    // with the reply once its last byte has been handed over; `baud` is the speed
    // the device sends it at (see sendBaud()).
    void send(std::vector<std::uint8_t> bytes, TimePoint notBefore, std::string label, unsigned baud = 0);
    // How many bytes at the front of the queue may be handed over at `now`, and
    // where they are.
    std::size_t sendable(TimePoint now) const;
    const std::uint8_t* sendData() const;
    // The device's speed for the reply at the front of the queue.
    unsigned sendBaud() const;
    // The caller handed `count` (at most sendable()) bytes over. Returns the
    // replies whose last byte was among them.
    struct Sent {
        std::vector<std::uint8_t> bytes;
        std::string label;
    };
    std::vector<Sent> sent(std::size_t count);
    // When the next byte may be handed over; nullopt when nothing is queued.
    std::optional<TimePoint> nextSendTime() const;
    bool sendQueueEmpty() const { return outgoing_.empty(); }

private:
    struct Reply {
        std::vector<std::uint8_t> bytes;
        TimePoint notBefore;
        std::string label;
        unsigned baud = 0;
        std::size_t done = 0;  // bytes already handed over
    };
    TimePoint dueTime(const Reply& reply, std::size_t offset) const;

    Duration byteTime_{};
    TimePoint receiveFree_{};  // when the host's last byte has fully arrived
    std::deque<Reply> outgoing_;
    TimePoint sendFree_{};     // when the device's last byte has fully left
};

}  // namespace zb::devsim
