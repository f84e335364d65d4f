// The window program's feed: what the update run shows in its window, as frames on
// a pipe from the updater to the window program, which only draws.
//
// A frame is its kind (one byte), the length of its payload (four bytes, low byte
// first) and the payload. Texts go as the bytes they are: the port text is the
// command line's and may hold any byte. Payloads:
//   Caption      the text
//   Gauge        MaxValue, then Progress, each four bytes, low byte first
//   StatusPanel  the panel (one byte, 0 or 1), then the text
//   Show         nothing: the window appears
//   Message      the caption's length (four bytes), the caption, then the text: a box
//                with one OK button, which nobody waits for
//
// The updater never waits for the window: WindowFeed keeps only the latest state of
// each field until the pipe takes it, so a window that reads slowly or not at all
// never builds up a backlog. Standard C++ only; the pipe is the caller's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zb {

enum class WindowFrameKind : std::uint8_t {
    Caption = 1,
    Gauge = 2,
    StatusPanel = 3,
    Show = 4,
    Message = 5,
};

// The updater's side: what changed since the pipe last took something.
class WindowFeed {
public:
    void setCaption(std::string text) { caption_ = std::move(text); }
    void setGauge(std::int32_t maxValue, std::int32_t progress) { gauge_ = std::pair{maxValue, progress}; }
    // panel 0 or 1; others are ignored.
    void setStatusPanel(int panel, std::string text);
    void show() { show_ = true; }
    // Messages are not coalesced, but at most a few are kept.
    void addMessage(std::string text, std::string caption);

    bool empty() const;
    // The frames of everything that changed, each field in its latest state, in the
    // order the window needs (caption, gauge, panels, show, messages); the feed is
    // empty afterwards.
    std::string take();

private:
    std::optional<std::string> caption_;
    std::optional<std::pair<std::int32_t, std::int32_t>> gauge_;
    std::array<std::optional<std::string>, 2> panels_;
    bool show_ = false;
    std::deque<std::pair<std::string, std::string>> messages_;
};

struct WindowFrame {
    WindowFrameKind kind;
    std::string payload;
};

// The window program's side: frames out of the bytes as they come.
class WindowFrameReader {
public:
    // A frame longer than this is no frame of the updater's: the feed is broken.
    static constexpr std::size_t kMaxPayload = 1 << 20;
    // Adds bytes and appends the frames they complete to `frames`. False, from then on,
    // once the bytes are not a feed (an unknown kind, an oversized frame).
    bool feed(const char* bytes, std::size_t count, std::vector<WindowFrame>& frames);

private:
    std::string buffer_;
    bool broken_ = false;
};

// Payload readers; false when the payload is not one of that kind.
bool ReadGaugeFrame(const std::string& payload, std::int32_t& maxValue, std::int32_t& progress);
bool ReadStatusPanelFrame(const std::string& payload, int& panel, std::string& text);
bool ReadMessageFrame(const std::string& payload, std::string& text, std::string& caption);

}  // namespace zb
