// libFuzzer target for HexParser::ParseHexLines. The input is split into lines at
// '\n' and parsed twice: as it is, and with the checksum of every line that has one
// recomputed, since a mutation of a record almost never keeps its checksum right and
// the fuzzer would otherwise hardly get past that test. Checks, for both parses:
//  - no byte outside the flash image changes (guard areas on both sides of it; a
//    write further away is caught by AddressSanitizer);
//  - the result and the image equal those of a separate, simpler reading of the
//    record format (ModelParse below), so that a wrong store address or a missed
//    rejection shows up even when it stays inside the image.
#include "HexParser.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct GuardedImage {
    std::array<std::uint8_t, 4096> before;
    zb::FlashImageBytes image;
    std::array<std::uint8_t, 4096> after;
};

constexpr std::uint8_t kGuardByte = 0xA5;

GuardedImage g_parsed;
zb::FlashImageBytes g_model;

// Value of the digits of `line` from `pos`, at most `length` of them, as far as the
// line goes; -1 when there are none or one is not 0-9 or A-F.
long Digits(std::string_view line, std::size_t pos, std::size_t length)
{
    long value = 0;
    std::size_t taken = 0;
    for (; taken < length && pos + taken < line.size(); ++taken) {
        const char c = line[pos + taken];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return taken == 0 ? -1 : value;
}

// The record format, read as a whole record first and acted on afterwards.
bool ModelParse(const std::vector<std::string>& lines, zb::FlashImageBytes& image)
{
    unsigned long upper = 0;  // extended linear address value
    for (const std::string& line : lines) {
        const long count = Digits(line, 1, 2);
        const long offset = Digits(line, 3, 4);
        const long type = Digits(line, 7, 2);
        if (count < 0 || offset < 0)
            return false;
        std::vector<std::uint8_t> data;
        long sum = count + offset / 256 + offset % 256 + type;
        for (long j = 0; j < count; ++j) {
            const long byte = Digits(line, static_cast<std::size_t>(9 + 2 * j), 2);
            if (byte < 0)
                return false;
            data.push_back(static_cast<std::uint8_t>(byte));
            sum += byte;
        }
        const long checksum = Digits(line, static_cast<std::size_t>(9 + 2 * count), 2);
        if (checksum < 0 || (checksum + sum) % 256 != 0)
            return false;
        if (type == 0x01)
            continue;
        if (type == 0x04) {
            const long value = Digits(line, 9, 4);
            if (value < 0)
                return false;
            upper = static_cast<unsigned long>(value);
            continue;
        }
        if (type != 0x00)
            return false;
        if (upper == 0x0030 || upper == 0x00F0 || data.empty())
            continue;
        const unsigned long address = upper * 0x10000 + static_cast<unsigned long>(offset);
        if (address + data.size() > image.size())
            return false;
        for (std::size_t j = 0; j < data.size(); ++j)
            image[address + j] = data[j];
    }
    return true;
}

// The line with its checksum field rewritten to match the fields before it, when
// they are all valid and the line is long enough to hold it.
std::string WithGoodChecksum(std::string line)
{
    const long count = Digits(line, 1, 2);
    if (count < 0 || line.size() < static_cast<std::size_t>(11 + 2 * count))
        return line;
    long sum = 0;
    for (std::size_t pos = 1; pos < static_cast<std::size_t>(9 + 2 * count); pos += 2) {
        const long byte = Digits(line, pos, 2);
        if (byte < 0)
            return line;
        sum += byte;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    const long checksum = (256 - sum % 256) % 256;
    line[static_cast<std::size_t>(9 + 2 * count)] = kDigits[checksum / 16];
    line[static_cast<std::size_t>(10 + 2 * count)] = kDigits[checksum % 16];
    return line;
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_hex: %s\n", what);
    std::abort();
}

void Check(const std::vector<std::string>& lines)
{
    g_parsed.before.fill(kGuardByte);
    g_parsed.after.fill(kGuardByte);
    zb::ClearFlashImage(g_parsed.image);
    zb::ClearFlashImage(g_model);

    zb::HexParser parser;
    const bool accepted = parser.ParseHexLines(lines, g_parsed.image);

    for (std::size_t i = 0; i < g_parsed.before.size(); ++i) {
        if (g_parsed.before[i] != kGuardByte || g_parsed.after[i] != kGuardByte)
            Fail("write outside the flash image");
    }
    if (ModelParse(lines, g_model) != accepted)
        Fail("accepted or refused unlike the model");
    if (g_model != g_parsed.image)
        Fail("flash image differs from the model");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start <= input.size();) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos)
            end = input.size();
        lines.emplace_back(input.substr(start, end - start));
        start = end + 1;
    }
    if (!input.empty() && input.back() == '\n')
        lines.pop_back();

    Check(lines);
    for (std::string& line : lines)
        line = WithGoodChecksum(std::move(line));
    Check(lines);
    return 0;
}
