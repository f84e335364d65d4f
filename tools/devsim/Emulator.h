// The emulator's loop: moves bytes between the pseudo-terminal, the paced line
// and the device, writes the transcript and the flash dumps.
#pragma once

#include <memory>

#include "Device.h"
#include "Line.h"
#include "Options.h"
#include "Pty.h"
#include "Transcript.h"

namespace zb::devsim {

class Emulator {
public:
    // Loads the flash, opens the transcript and publishes the port. Throws on
    // failure (std::system_error, std::runtime_error).
    explicit Emulator(const Options& options);

    const std::string& portPath() const { return pty_.linkPath(); }

    // Plays the device until stopFd becomes readable, then writes the final flash
    // dump. The port link is removed when the Emulator is destroyed.
    void run(int stopFd);

private:
    void receive(TimePoint now);
    // The line's faults on bytes from the host: a flipped bit, the held line. Returns
    // how many of the `count` bytes reach the device.
    std::size_t lineFaults(std::uint8_t* data, std::size_t count, TimePoint now);
    void hold(TimePoint now);
    void advance(TimePoint now);
    void transmit(TimePoint now);
    // The host reads at another speed than the reply leaves at.
    void garble(std::vector<std::uint8_t>& bytes, unsigned hostBaud, TimePoint now);
    void unplugWhenRead(TimePoint now);
    std::optional<TimePoint> nextWake() const;
    // The latency timer's last tick at or before `t`, or (next) its first at or after.
    TimePoint latencyTick(TimePoint t, bool next) const;
    void dumpFlash();

    Options options_;
    TimePoint start_;
    Transcript transcript_;
    Line line_;
    Device device_;
    Pty pty_;
    std::uint64_t hostBytes_ = 0;  // bytes read from the host so far
    bool held_ = false;            // the host's output is stopped (--hold-after)
    bool plugged_ = true;
    bool writeBlocked_ = false;  // the host's input queue is full: wait for POLLOUT
    std::optional<TimePoint> unplugSince_;  // the last reply has left; waiting to unplug
    std::uint64_t repliesSent_ = 0;               // replies whose last byte has left
    std::optional<std::uint64_t> garbledReply_;   // the reply after that many was garbled
};

}  // namespace zb::devsim
