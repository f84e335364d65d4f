#include "Transcript.h"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace zb::devsim {

std::string hexBytes(const std::vector<std::uint8_t>& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

Transcript::Transcript(const std::string& path, TimePoint start) : start_(start)
{
    if (path.empty())
        return;
    file_.reset(std::fopen(path.c_str(), "w"));
    if (!file_)
        throw std::system_error(errno, std::generic_category(), "cannot create transcript " + path);
}

namespace {

std::string withSpeed(const std::vector<std::uint8_t>& bytes, unsigned baud)
{
    return hexBytes(bytes) + (baud == 0 ? " @none" : " @" + std::to_string(baud));
}

}  // namespace

void Transcript::rx(TimePoint at, const char* kind, const std::vector<std::uint8_t>& bytes, unsigned baud)
{
    line(at, "rx", kind, withSpeed(bytes, baud));
}

void Transcript::tx(TimePoint at, const char* kind, const std::vector<std::uint8_t>& bytes, unsigned baud)
{
    line(at, "tx", kind, withSpeed(bytes, baud));
}

void Transcript::event(TimePoint at, const char* kind, const std::string& text)
{
    line(at, "--", kind, text);
}

void Transcript::line(TimePoint at, const char* dir, const char* kind, const std::string& rest)
{
    if (!file_)
        return;
    double ms = std::chrono::duration<double, std::milli>(at - start_).count();
    std::fprintf(file_.get(), "%.3f %s %s%s%s\n", ms, dir, kind, rest.empty() ? "" : " ", rest.c_str());
    std::fflush(file_.get());
}

}  // namespace zb::devsim
