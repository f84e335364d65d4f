// The emulated device: its application firmware, its bootloader and its flash.
//
// The device is fed the bytes that have arrived on the line and produces replies
// with the time at which each may start to leave. It does no I/O of its own apart
// from the transcript; the emulator's loop moves the bytes.
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

class Device {
public:
    // `flash` must hold kFlashSize bytes. `byteTime` is the line's byte time (0
    // when unpaced); it stretches the quiet spell that marks a sync byte.
    Device(const Options& options, std::vector<std::uint8_t> flash, Duration byteTime,
           Transcript& transcript);

    void arrived(std::uint8_t byte, TimePoint at);
    void expire(TimePoint now);
    // The next time at which expire() has something to do.
    std::optional<TimePoint> deadline() const;

    struct Reply {
        std::vector<std::uint8_t> bytes;
        TimePoint notBefore;
        std::string label;  // transcript kind: "short", "echo" or "frame"
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

private:
    enum class Mode { Application, Bootloader, Unplugged };

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

    unsigned syncCount_ = 0;
    unsigned eraseCount_ = 0;
    unsigned writeCount_ = 0;
    std::vector<Reply> replies_;
    bool flashChanged_ = false;
};

}  // namespace zb::devsim
