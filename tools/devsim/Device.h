// The emulated device: its application firmware, its bootloader and its flash.
//
// The device is fed the bytes that have arrived on the line and produces replies
// with the time at which each may start to leave. It does no I/O of its own apart
// from the transcript; the emulator's loop moves the bytes.
//
// Line speed: the application listens at 19200 baud only. The bootloader measures
// the speed on the first 0x0F after it starts and after each break, and locks to it
// (up to --max-baud); a second without a byte from the host counts as a break,
// since a pseudo-terminal carries none. Bytes sent at another speed than the one
// the device listens at arrive garbled.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Clock.h"
#include "Frames.h"
#include "Options.h"
#include "Transcript.h"

namespace zb::devsim {

// The application firmware's line speed, and the bootloader's until it first locks.
inline constexpr unsigned kApplicationBaud = 19200;
// Silence from the host that the bootloader takes as a break. The host holds a
// break for a second; a little less here leaves room for a timer that ends early.
inline constexpr std::chrono::milliseconds kBreakSilence{900};

class Device {
public:
    // `flash` must hold kFlashSize bytes.
    Device(const Options& options, std::vector<std::uint8_t> flash, Transcript& transcript);

    // A byte from the host, at its arrival time, sent at the host's line speed.
    void arrived(std::uint8_t byte, TimePoint at, unsigned hostBaud);
    void expire(TimePoint now);
    // The next time at which expire() has something to do.
    std::optional<TimePoint> deadline() const;

    struct Reply {
        std::vector<std::uint8_t> bytes;
        TimePoint notBefore;
        std::string label;  // transcript kind: "short", "echo" or "frame"
        unsigned baud;      // the speed it is sent at
    };
    // Replies produced since the last call, in order.
    std::vector<Reply> takeReplies();
    // True once after each command that changed the flash.
    bool takeFlashChanged();
    // True once the device has been unplugged: the loop lets the queued replies
    // leave and then drops the line. From then on the device ignores everything.
    bool unplugged() const { return mode_ == Mode::Unplugged; }

    bool inBootloader() const { return mode_ == Mode::Bootloader; }
    const std::vector<std::uint8_t>& flash() const { return flash_; }

    // The speed the device listens and answers at: the application's, or the one
    // the bootloader locked to last (the application's before the first lock).
    unsigned baud() const;
    // The speed the line is paced at: 0 unpaced; --baud until the bootloader first
    // locks, then the speed it listens at.
    unsigned pacingBaud() const;

private:
    enum class Mode { Application, Bootloader, Unplugged };

    // The receiver at the device's speed: returns the byte as it arrives.
    std::uint8_t listen(std::uint8_t byte, TimePoint at, unsigned hostBaud);
    void lock(unsigned baud, TimePoint at);
    void noteGarbled(TimePoint at, unsigned hostBaud, bool aboveMax);
    void noticeBreak(TimePoint now);
    std::optional<TimePoint> breakDue() const;
    // --unplug-in-break: when the quiet line unplugs the device.
    std::optional<TimePoint> quietUnplugDue() const;
    void unplugWhenQuiet(TimePoint now);

    void handle(const std::vector<Received>& events);
    void handleShort(const Received& r);
    void handleSync(const Received& r);
    void handleFrame(const Received& r);
    void information(TimePoint at);
    void erase(const std::vector<std::uint8_t>& body, TimePoint at);
    void write(const std::vector<std::uint8_t>& body, TimePoint at);
    // Reply to erase or write, as the fault options shape it.
    std::vector<std::uint8_t> commandReply(std::uint8_t command, const CommandFailure& failure,
                                           unsigned number, TimePoint at);
    void reply(std::vector<std::uint8_t> bytes, TimePoint notBefore, const char* label);
    // An erase or write reply, once or (as the fault options say) twice.
    void answer(std::vector<std::uint8_t> bytes, TimePoint notBefore, bool twice);

    const Options options_;
    Transcript& transcript_;
    std::vector<std::uint8_t> flash_;
    Mode mode_;
    BootDecoder bootDecoder_;
    ShortDecoder shortDecoder_;

    unsigned bootBaud_;            // the bootloader's speed
    bool measuring_ = true;        // the next 0x0F sets bootBaud_
    bool everLocked_ = false;
    Duration syncQuiet_;           // the decoder's quiet spell after a sync byte
    std::optional<TimePoint> lastByte_;  // arrival of the host's latest byte
    struct GarbledRun {
        unsigned hostBaud;
        TimePoint last;
    };
    std::optional<GarbledRun> garbled_;  // the latest bytes arrived garbled

    unsigned syncCount_ = 0;
    unsigned eraseCount_ = 0;
    unsigned writeCount_ = 0;
    std::vector<Reply> replies_;
    bool flashChanged_ = false;
};

}  // namespace zb::devsim
