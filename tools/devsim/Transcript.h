// The transcript: one line per frame or event, for people and for tests.
//
//   <ms> <dir> <kind> <hex bytes or text>
//
// ms is the time since the emulator started, with three decimals; dir is "rx"
// (host to device), "tx" (device to host) or "--" (something the device did). The
// bytes of rx and tx lines are followed by "@<baud>": the line speed the host had
// set when they passed ("@none" when it has none).
// Every line is flushed at once, so the file is complete even after a crash.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Clock.h"

namespace zb::devsim {

class Transcript {
public:
    // Without a path nothing is written.
    Transcript(const std::string& path, TimePoint start);

    void rx(TimePoint at, const char* kind, const std::vector<std::uint8_t>& bytes, unsigned baud);
    void tx(TimePoint at, const char* kind, const std::vector<std::uint8_t>& bytes, unsigned baud);
    void event(TimePoint at, const char* kind, const std::string& text);

private:
    void line(TimePoint at, const char* dir, const char* kind, const std::string& rest);

    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file_;
    TimePoint start_;
};

std::string hexBytes(const std::vector<std::uint8_t>& bytes);

}  // namespace zb::devsim
