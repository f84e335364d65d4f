// The command line through CLI11: one description of every option gives the
// parser and the --help text; the conversions and checks of the values are ours.
#include "Options.h"

#include <charconv>
#include <functional>
#include <limits>
#include <map>
#include <memory>

#include <CLI/CLI.hpp>

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

// Hexadecimal byte pairs, like 0105F8 (at most kMaxNoise bytes).
bool parseHexBytes(const std::string& text, std::vector<std::uint8_t>& out)
{
    constexpr std::size_t kMaxNoise = 4096;
    if (text.empty() || text.size() % 2 != 0 || text.size() / 2 > kMaxNoise)
        return false;
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        std::uint8_t byte = 0;
        auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
        if (ec != std::errc() || end != text.data() + i + 2)
            return false;
        out.push_back(byte);
    }
    return true;
}

bool validPortName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

using Setter = std::function<bool(const std::string&, Options&)>;

// A value option: `set` converts and checks the text; `expects` says what a good
// value looks like, for the message when it is not one. When the option is given
// more than once, the last one counts.
void addValue(CLI::App& app, Options& o, const std::string& group, const std::string& name,
              const std::string& valueName, const std::string& expects, const std::string& help, Setter set)
{
    app.add_option_function<std::string>(
           "--" + name,
           [&o, name, expects, set](const std::string& value) {
               if (!set(value, o))
                   throw CLI::ValidationError("--" + name, "bad value '" + value + "': " + expects);
           },
           help)
        ->type_name(valueName)
        ->group(group)
        ->take_last();
}

void addFlag(CLI::App& app, const std::string& group, const std::string& name, bool& target,
             const std::string& help)
{
    app.add_flag("--" + name, target, help)->group(group);
}

// A flag takes no value, not even "--no-app=true", which CLI11 would accept.
std::string flagWithValue(CLI::App& app, const std::vector<std::string>& args)
{
    for (const std::string& arg : args) {
        const auto eq = arg.find('=');
        if (arg.rfind("--", 0) != 0 || eq == std::string::npos)
            continue;
        const CLI::Option* option = app.get_option_no_throw(arg.substr(0, eq));
        if (option != nullptr && option->get_items_expected_max() == 0)
            return arg.substr(0, eq) + " takes no value: '" + arg + "'";
    }
    return {};
}

constexpr const char* kNumber = "a decimal number, or hexadecimal with 0x";

// The whole command line, described once: parseOptions parses with it and
// usageText prints it.
std::unique_ptr<CLI::App> makeApp(Options& o)
{
    auto app = std::make_unique<CLI::App>(
        "Emulates the updater's target device on a pseudo-terminal published as DIR/PORT.\n"
        "Prints \"ready <path>\" when the port exists; runs until SIGTERM or SIGINT.",
        "zbdevsim");
    app->set_help_flag("--help", "this text")->group("Information");
    app->footer("Numbers are decimal or hexadecimal with 0x. \"--version\" as the only argument "
                "prints the program's version.");
    app->get_formatter()->column_width(28);

    const std::string device = "Port and device";
    addValue(*app, o, device, "dir", "DIR", "a folder", "folder for the port link (default $ZBCOMM_DEVICE_DIR)",
             [](const std::string& v, Options& x) { x.dir = v; return !v.empty(); });
    addValue(*app, o, device, "port", "NAME", "a file name without '/'", "name of the link (default COM3)",
             [](const std::string& v, Options& x) { x.port = v; return validPortName(v); });
    addFlag(*app, device, "no-app", o.noApp, "start in the bootloader; no application answers");
    addValue(*app, o, device, "boot-size", "N", "0 to 65535", "boot block size reported (default 512)",
             [](const std::string& v, Options& x) { return parseBounded(v, x.bootSize); });
    addValue(*app, o, device, "version", "MAJ.MIN", "two numbers 0 to 255 with a dot, like 1.2",
             "bootloader version reported (default 1.2)", parseVersion);
    addValue(*app, o, device, "boot-start", "ADDR", "a 32-bit number; hexadecimal needs 0x",
             "bootloader start address reported (default 0xF800)",
             [](const std::string& v, Options& x) { return parseBounded(v, x.bootStart); });
    addValue(*app, o, device, "baud", "N", "0 to 10000000",
             "pace both directions like a line at N baud, 10 bits a byte, then at the speed the bootloader "
             "locks to (default 0: unpaced)",
             [](const std::string& v, Options& x) { return parseBounded(v, x.baud, 10'000'000); });
    addValue(*app, o, device, "max-baud", "N", "1 to 10000000",
             "fastest line speed the bootloader locks to (default 115200)",
             [](const std::string& v, Options& x) { return parseBounded(v, x.maxBaud, 10'000'000) && x.maxBaud > 0; });
    addValue(*app, o, device, "erase-ms", "N", "0 to 3600000 milliseconds",
             "time taken by each erase command (default 0)",
             [](const std::string& v, Options& x) { return parseMilliseconds(v, x.eraseTime); });
    addValue(*app, o, device, "write-ms", "N", "0 to 3600000 milliseconds",
             "time taken by each write command (default 0)",
             [](const std::string& v, Options& x) { return parseMilliseconds(v, x.writeTime); });
    addValue(*app, o, device, "info-ms", "N", "0 to 3600000 milliseconds",
             "time taken to answer the information command (default 0)",
             [](const std::string& v, Options& x) { return parseMilliseconds(v, x.infoTime); });
    addValue(*app, o, device, "latency-ms", "N", "0 to 1000 milliseconds",
             "bytes to the host reach it only at the next tick of N ms, like a USB adapter's latency "
             "timer (default 0: at once)",
             [](const std::string& v, Options& x) {
                 return parseMilliseconds(v, x.latency) && x.latency <= std::chrono::milliseconds(1000);
             });

    const std::string files = "Files";
    addValue(*app, o, files, "transcript", "FILE", "a file name", "one line per frame or event (see the README)",
             [](const std::string& v, Options& x) { x.transcriptPath = v; return !v.empty(); });
    addValue(*app, o, files, "flash-out", "FILE", "a file name",
             "131072-byte flash dump, after each erase or write and at exit",
             [](const std::string& v, Options& x) { x.flashOutPath = v; return !v.empty(); });
    addValue(*app, o, files, "flash-in", "FILE", "a file name",
             "initial flash contents (at most 131072 bytes; the rest is 0xFF)",
             [](const std::string& v, Options& x) { x.flashInPath = v; return !v.empty(); });

    const std::string faults = "Faults";
    addFlag(*app, faults, "no-reset-reply", o.noResetReply, "the application ignores the reset command");
    addFlag(*app, faults, "bad-crc8", o.badCrc8, "application replies carry a wrong CRC-8");
    addFlag(*app, faults, "bad-crc8-reset", o.badCrc8Reset, "only the reset reply carries a wrong CRC-8");
    addValue(*app, o, faults, "app-reply-length", "N", "0 to 255",
             "length byte N in application replies (N < 3: the reply is just code and length)",
             [](const std::string& v, Options& x) {
                 std::uint8_t length = 0;
                 if (!parseBounded(v, length))
                     return false;
                 x.appReplyLength = length;
                 return true;
             });
    addFlag(*app, faults, "silent-bootloader", o.silentBootloader, "the bootloader answers nothing");
    addValue(*app, o, faults, "no-echo", "K", kNumber, "the first K sync bytes get no echo",
             [](const std::string& v, Options& x) { return parseBounded(v, x.noEcho); });
    addValue(*app, o, faults, "wrong-echo", "K[:BYTE]", "K or K:BYTE, BYTE 0 to 255",
             "the next K sync bytes are echoed as BYTE (default 0)", parseWrongEcho);
    addFlag(*app, faults, "info-bad-crc", o.infoBadCrc, "information reply with a wrong CRC-16");
    addValue(*app, o, faults, "info-noise", "HEX", "1 to 4096 bytes as hexadecimal pairs, like 0105F8",
             "these bytes go out just before every information reply",
             [](const std::string& v, Options& x) { return parseHexBytes(v, x.infoNoise); });
    addValue(*app, o, faults, "erase-fail", "K:MODE", "K from 1, MODE silent, badcrc or wrongcmd",
             "erase command K fails; MODE silent, badcrc or wrongcmd",
             [](const std::string& v, Options& x) { return parseFailure(v, x.eraseFail); });
    addValue(*app, o, faults, "write-fail", "K:MODE", "K from 1, MODE silent, badcrc or wrongcmd",
             "write command K fails likewise",
             [](const std::string& v, Options& x) { return parseFailure(v, x.writeFail); });
    addFlag(*app, faults, "write-reply-unescaped", o.writeReplyUnescaped, "write replies as 0F 04 84 40 04");
    addValue(*app, o, faults, "unplug-after", "K", "a number from 1",
             "after answering write K the device is unplugged",
             [](const std::string& v, Options& x) { return parseBounded(v, x.unplugAfter) && x.unplugAfter > 0; });
    addFlag(*app, faults, "unplug-in-break", o.unplugInBreak,
            "the device is unplugged once the host's line has been quiet for 900 ms while it is in its "
            "bootloader: with the application face, in the break after the reset");
    addValue(*app, o, faults, "erase-reply-twice", "K", "a number from 1", "erase command K is answered twice",
             [](const std::string& v, Options& x) {
                 return parseBounded(v, x.eraseReplyTwice) && x.eraseReplyTwice > 0;
             });
    addValue(*app, o, faults, "write-reply-twice", "K", "a number from 1", "write command K is answered twice",
             [](const std::string& v, Options& x) {
                 return parseBounded(v, x.writeReplyTwice) && x.writeReplyTwice > 0;
             });
    addValue(*app, o, faults, "flip-bit", "N[:BIT]", "N from 1, BIT 0 to 7",
             "bit BIT (default 0) of the host's N-th byte arrives flipped", parseFlip);
    addValue(*app, o, faults, "hold-after", "K", kNumber,
             "after K bytes from the host the device holds the line: the host's output stops (K 0: from the start)",
             [](const std::string& v, Options& x) {
                 std::uint64_t count = 0;
                 if (!parseBounded(v, count))
                     return false;
                 x.holdAfter = count;
                 return true;
             });
    return app;
}

}  // namespace

ParseResult parseOptions(const std::vector<std::string>& args, const std::string& envDir)
{
    ParseResult result;
    Options& o = result.options;
    o.dir = envDir;
    if (args.size() == 1 && args.front() == "--version") {
        o.programVersion = true;
        return result;
    }
    const auto app = makeApp(o);
    result.error = flagWithValue(*app, args);
    if (!result.error.empty())
        return result;
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app->parse(reversed);
    } catch (const CLI::CallForHelp&) {
        o.help = true;
        return result;
    } catch (const CLI::ParseError& error) {
        result.error = error.what();
        return result;
    }
    if (o.dir.empty())
        result.error = "no folder for the port: give --dir or set ZBCOMM_DEVICE_DIR";
    return result;
}

std::string usageText()
{
    Options ignored;
    return makeApp(ignored)->help();
}

}  // namespace zb::devsim
