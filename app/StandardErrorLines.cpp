#include "StandardErrorLines.h"

#include <algorithm>

#include "HostPlatform.h"

namespace zb {

StandardErrorLines::StandardErrorLines(std::function<bool()> terminal, Sink sink,
                                       std::function<Clock::time_point()> now)
    : terminal_(terminal), sink_(std::move(sink)), now_(std::move(now)) {}

void StandardErrorLines::endOpenLine(std::string& out) {
    if (open_) out += '\n';
    open_ = false;
    updated_ = false;
}

void StandardErrorLines::line(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (!terminal_()) {
        open_ = false;  // a line held open belongs to a stream that has gone
        // One write per line, so that lines stay whole even when another process
        // shares the stream.
        sink_(text + '\n');
        return;
    }
    std::string out;
    endOpenLine(out);
    out += text;
    sink_(out);
    open_ = true;
    openText_ = text;
}

void StandardErrorLines::share(const std::string& phase, std::int64_t done, std::int64_t total) {
    if (total <= 0) return;
    std::lock_guard lock(mutex_);
    if (!terminal_()) return;
    const bool complete = done >= total;
    const int percent = static_cast<int>(std::clamp<std::int64_t>(done * 100 / total, 0, 100));
    const bool inPlace = open_ && openText_ == phase;
    const auto now = now_();
    if (inPlace && updated_ && !complete) {
        if (percent == shownPercent_ || now - shownAt_ < kUpdateInterval) return;
    }
    std::string out;
    if (inPlace) {
        out += '\r';
    } else {
        endOpenLine(out);
    }
    // The share only grows within a phase, so the new text covers the old one.
    out += phase + ' ' + std::to_string(percent) + " %";
    open_ = true;
    openText_ = phase;
    updated_ = true;
    shownPercent_ = percent;
    shownAt_ = now;
    if (complete) endOpenLine(out);
    sink_(out);
}

void StandardErrorLines::finish() {
    std::lock_guard lock(mutex_);
    if (!terminal_()) open_ = false;
    std::string out;
    endOpenLine(out);
    if (!out.empty()) sink_(out);
}

StandardErrorLines& StandardError() {
    // Never destroyed: a toolkit may still report something from its own static
    // objects' destructors when the program ends.
    static StandardErrorLines* const writer =
        new StandardErrorLines(StandardErrorIsTerminal, [](std::string_view text) { WriteToStandardError(text); });
    return *writer;
}

}  // namespace zb
