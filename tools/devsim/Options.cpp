#include "Options.h"

#include <charconv>
#include <functional>
#include <limits>
#include <map>

namespace zb::devsim {
namespace {

// Decimal, or hexadecimal with a 0x prefix.
std::optional<std::uint64_t> parseNumber(const std::string& text)
{
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

template <typename T>
bool parseBounded(const std::string& text, T& out, std::uint64_t max = std::numeric_limits<T>::max())
{
    auto value = parseNumber(text);
    if (!value || *value > max)
        return false;
    out = static_cast<T>(*value);
    return true;
}

bool parseVersion(const std::string& text, Options& o)
{
    auto dot = text.find('.');
    if (dot == std::string::npos)
        return false;
    return parseBounded(text.substr(0, dot), o.versionMajor) &&
           parseBounded(text.substr(dot + 1), o.versionMinor);
}

bool parseMilliseconds(const std::string& text, std::chrono::milliseconds& out)
{
    unsigned ms = 0;
    if (!parseBounded(text, ms, 3'600'000))
        return false;
    out = std::chrono::milliseconds(ms);
    return true;
}

// K:MODE
bool parseFailure(const std::string& text, CommandFailure& out)
{
    auto colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    static const std::map<std::string, FailMode, std::less<>> modes = {
        {"silent", FailMode::Silent}, {"badcrc", FailMode::BadCrc}, {"wrongcmd", FailMode::WrongCmd}};
    auto mode = modes.find(text.substr(colon + 1));
    if (mode == modes.end() || !parseBounded(text.substr(0, colon), out.command) || out.command == 0)
        return false;
    out.mode = mode->second;
    return true;
}

// K[:BYTE]
bool parseWrongEcho(const std::string& text, Options& o)
{
    auto colon = text.find(':');
    if (!parseBounded(text.substr(0, colon), o.wrongEcho))
        return false;
    return colon == std::string::npos || parseBounded(text.substr(colon + 1), o.wrongEchoByte);
}

// N[:BIT]
bool parseFlip(const std::string& text, Options& o)
{
    auto colon = text.find(':');
    if (!parseBounded(text.substr(0, colon), o.flipByte) || o.flipByte == 0)
        return false;
    return colon == std::string::npos || parseBounded(text.substr(colon + 1), o.flipBit, 7);
}

bool validPortName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

using Setter = std::function<bool(const std::string&, Options&)>;

const std::map<std::string, Setter, std::less<>>& valueOptions()
{
    static const std::map<std::string, Setter, std::less<>> table = {
        {"dir", [](const std::string& v, Options& o) { o.dir = v; return !v.empty(); }},
        {"port", [](const std::string& v, Options& o) { o.port = v; return validPortName(v); }},
        {"boot-size", [](const std::string& v, Options& o) { return parseBounded(v, o.bootSize); }},
        {"version", parseVersion},
        {"boot-start", [](const std::string& v, Options& o) { return parseBounded(v, o.bootStart); }},
        {"baud", [](const std::string& v, Options& o) { return parseBounded(v, o.baud, 10'000'000); }},
        {"erase-ms", [](const std::string& v, Options& o) { return parseMilliseconds(v, o.eraseTime); }},
        {"write-ms", [](const std::string& v, Options& o) { return parseMilliseconds(v, o.writeTime); }},
        {"transcript", [](const std::string& v, Options& o) { o.transcriptPath = v; return !v.empty(); }},
        {"flash-out", [](const std::string& v, Options& o) { o.flashOutPath = v; return !v.empty(); }},
        {"flash-in", [](const std::string& v, Options& o) { o.flashInPath = v; return !v.empty(); }},
        {"app-reply-length",
         [](const std::string& v, Options& o) {
             std::uint8_t length = 0;
             if (!parseBounded(v, length))
                 return false;
             o.appReplyLength = length;
             return true;
         }},
        {"wrong-echo", parseWrongEcho},
        {"no-echo", [](const std::string& v, Options& o) { return parseBounded(v, o.noEcho); }},
        {"erase-fail", [](const std::string& v, Options& o) { return parseFailure(v, o.eraseFail); }},
        {"write-fail", [](const std::string& v, Options& o) { return parseFailure(v, o.writeFail); }},
        {"unplug-after",
         [](const std::string& v, Options& o) { return parseBounded(v, o.unplugAfter) && o.unplugAfter > 0; }},
        {"erase-reply-twice",
         [](const std::string& v, Options& o) { return parseBounded(v, o.eraseReplyTwice) && o.eraseReplyTwice > 0; }},
        {"write-reply-twice",
         [](const std::string& v, Options& o) { return parseBounded(v, o.writeReplyTwice) && o.writeReplyTwice > 0; }},
        {"flip-bit", parseFlip},
        {"hold-after",
         [](const std::string& v, Options& o) {
             std::uint64_t count = 0;
             if (!parseBounded(v, count))
                 return false;
             o.holdAfter = count;
             return true;
         }},
    };
    return table;
}

const std::map<std::string, bool Options::*, std::less<>>& flagOptions()
{
    static const std::map<std::string, bool Options::*, std::less<>> table = {
        {"help", &Options::help},
        {"no-app", &Options::noApp},
        {"no-reset-reply", &Options::noResetReply},
        {"bad-crc8", &Options::badCrc8},
        {"bad-crc8-reset", &Options::badCrc8Reset},
        {"silent-bootloader", &Options::silentBootloader},
        {"info-bad-crc", &Options::infoBadCrc},
        {"write-reply-unescaped", &Options::writeReplyUnescaped},
    };
    return table;
}

}  // namespace

ParseResult parseOptions(const std::vector<std::string>& args, const std::string& envDir)
{
    ParseResult result;
    Options& o = result.options;
    o.dir = envDir;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) {
            result.error = "unexpected argument '" + arg + "'";
            return result;
        }
        std::string name = arg.substr(2);
        std::optional<std::string> value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (auto flag = flagOptions().find(name); flag != flagOptions().end() && !value) {
            o.*(flag->second) = true;
        } else if (auto setter = valueOptions().find(name); setter != valueOptions().end()) {
            if (!value) {
                if (i + 1 == args.size()) {
                    result.error = "--" + name + " needs a value";
                    return result;
                }
                value = args[++i];
            }
            if (!setter->second(*value, o)) {
                result.error = "bad value '" + *value + "' for --" + name;
                return result;
            }
        } else {
            result.error = "unknown option '" + arg + "'";
            return result;
        }
    }
    if (o.dir.empty() && !o.help)
        result.error = "no folder for the port: give --dir or set ZBCOMM_DEVICE_DIR";
    return result;
}

std::string usageText()
{
    return R"(Usage: devsim [options]
Emulates the updater's target device on a pseudo-terminal published as DIR/PORT.
Prints "ready <path>" when the port exists; runs until SIGTERM or SIGINT.

Port and device:
  --dir DIR               folder for the port link (default $ZBCOMM_DEVICE_DIR)
  --port NAME             name of the link (default COM3)
  --no-app                start in the bootloader; no application answers
  --boot-size N           boot block size reported (default 512)
  --version MAJ.MIN       bootloader version reported (default 1.2)
  --boot-start ADDR       bootloader start address reported (default 0xF800)
  --baud N                pace both directions like a line at N baud, 10 bits
                          a byte (default 0: unpaced)
  --erase-ms N            time taken by each erase command (default 0)
  --write-ms N            time taken by each write command (default 0)
Files:
  --transcript FILE       one line per frame or event (see the README)
  --flash-out FILE        131072-byte flash dump, after each erase or write
                          and at exit
  --flash-in FILE         initial flash contents (at most 131072 bytes;
                          the rest is 0xFF)
Faults:
  --no-reset-reply        the application ignores the reset command
  --bad-crc8              application replies carry a wrong CRC-8
  --bad-crc8-reset        only the reset reply carries a wrong CRC-8
  --app-reply-length N    length byte N in application replies
                          (N < 3: the reply is just code and length)
  --silent-bootloader     the bootloader answers nothing
  --no-echo K             the first K sync bytes get no echo
  --wrong-echo K[:BYTE]   the next K sync bytes are echoed as BYTE (default 0)
  --info-bad-crc          information reply with a wrong CRC-16
  --erase-fail K:MODE     erase command K fails; MODE silent, badcrc or wrongcmd
  --write-fail K:MODE     write command K fails likewise
  --write-reply-unescaped write replies as 0F 04 84 40 04
  --unplug-after K        after answering write K the device is unplugged
  --erase-reply-twice K   erase command K is answered twice
  --write-reply-twice K   write command K is answered twice
  --flip-bit N[:BIT]      bit BIT (default 0) of the host's N-th byte arrives
                          flipped
  --hold-after K          after K bytes from the host the device holds the
                          line: the host's output stops (K 0: from the start)
  --help                  this text
Numbers are decimal or hexadecimal with 0x.
)";
}

}  // namespace zb::devsim
