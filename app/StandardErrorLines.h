// The program's lines on standard error, all through one writer.
//
// To a pipe or a file every line goes out whole, one write per line, exactly as
// given and a line feed. On a terminal a person reads, the share of the erase or
// write phase is shown in the phase's own line, updated in place: the line end of
// the last line is held back until something follows, so that the phase's first
// line ("Erasing Flash...") can grow its share ("Erasing Flash... 37 %"); at most
// ten updates a second, and the line is ended when the phase is complete. Any other
// line ends the line in place first. Safe to call from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace zb {

class StandardErrorLines {
public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(std::string_view)>;

    // `terminal` tells whether the stream is a terminal now (asked at every call:
    // the descriptor may be redirected while the program runs, as tests do). `sink`
    // writes one piece of output; `now` is the clock the updates are paced by.
    StandardErrorLines(std::function<bool()> terminal, Sink sink,
                       std::function<Clock::time_point()> now = Clock::now);

    // A whole line, without its line end.
    void line(const std::string& text);
    // The phase whose first line was `phase` has done `done` of `total`; nothing
    // unless on a terminal.
    void share(const std::string& phase, std::int64_t done, std::int64_t total);
    // Ends the line held open, if any: called before the program ends.
    void finish();

private:
    void endOpenLine(std::string& out);

    static constexpr std::chrono::milliseconds kUpdateInterval{100};

    const std::function<bool()> terminal_;
    const Sink sink_;
    const std::function<Clock::time_point()> now_;
    std::mutex mutex_;
    bool open_ = false;        // a line on the terminal waits for its line end
    std::string openText_;     // its text without the share
    bool updated_ = false;     // the open line shows a share
    int shownPercent_ = -1;
    Clock::time_point shownAt_{};
};

// The program's one writer to standard error.
StandardErrorLines& StandardError();

}  // namespace zb
