// zb_hextable: turns an Intel HEX file into the C++ source of zb::HexLineTable and
// of the firmware's identity, zb::CarriedFirmware.
//
//   zb_hextable <file.hex> <output.cpp> [<identity.cmake>]
//
// Every line must pass the updater's own parser, exactly as the update run parses
// the table; otherwise the build stops here with the file and line number, and no
// output is written. A trailing carriage return is dropped from each line.
//
// The identity is the SHA-256 of the file exactly as it is (what sha256sum prints
// for it), its record count and the lowest and highest program-memory address that
// its data records fill. It goes into the C++ source and, when asked for, into a
// CMake script of set() commands, so that the build can put the same text into
// other files (the Windows version resource).
#include "HexParser.h"
#include "Sha256.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr std::size_t kShownLineLength = 60;  // characters of a refused line in the message

struct Identity {
    std::string sha256;
    std::size_t records = 0;
    std::uint32_t programFirst = 0;
    std::uint32_t programLast = 0;
    std::string text;  // one line for people: what --version and the resource show
};

bool ReadFile(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

void SplitLines(const std::string& text, std::vector<std::string>& lines)
{
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
}

// Printable ASCII as it is, everything else as an escape, so that a refused line
// shows what is really in the file.
std::string Shown(const std::string& line)
{
    std::string shown;
    for (const char c : line.substr(0, kShownLineLength)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            shown += c;
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            shown += escape;
        }
    }
    if (line.size() > kShownLineLength)
        shown += "...";
    return shown;
}

// Index of the first line the parser refuses, or lines.size() when it takes them all.
// Steps through the lines the way ParseHexLines does, to know which one failed.
std::size_t FirstRefusedLine(const std::vector<std::string>& lines)
{
    auto image = std::make_unique<zb::FlashImageBytes>();
    zb::ClearFlashImage(*image);
    zb::HexParser parser;  // starts with the state that ParseHexLines resets to
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!parser.ParseHexRecord(lines[i], *image))
            return i;
    }
    return lines.size();
}

std::string Address(std::uint32_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(address));
    return text;
}

// Runs the accepted lines through the parser once more and notes where the data
// records of program memory put their bytes. False when no record holds program
// bytes: such a file has nothing to install.
bool Identify(const std::string& text, const std::vector<std::string>& lines, Identity& identity)
{
    auto image = std::make_unique<zb::FlashImageBytes>();
    zb::ClearFlashImage(*image);
    zb::HexParser parser;
    bool anyProgramByte = false;
    for (const std::string& line : lines) {
        parser.ParseHexRecord(line, *image);
        const int count = zb::HexParser::HexToInt(std::string_view(line).substr(1, 2));
        const int type = zb::HexParser::HexToInt(std::string_view(line).substr(7, 2));
        if (type != 0 || count <= 0 || parser.ConfigSpace || parser.EepromSpace)
            continue;
        const std::uint32_t first = parser.CurrentAddress;
        const std::uint32_t last = first + static_cast<std::uint32_t>(count) - 1;
        if (!anyProgramByte || first < identity.programFirst)
            identity.programFirst = first;
        if (!anyProgramByte || last > identity.programLast)
            identity.programLast = last;
        anyProgramByte = true;
    }
    identity.sha256 = zb::hexgen::Sha256Hex(text);
    identity.records = lines.size();
    identity.text = "SHA-256 " + identity.sha256 + ", " + std::to_string(identity.records) + " records, program " +
                    Address(identity.programFirst) + "-" + Address(identity.programLast);
    return anyProgramByte;
}

// A C++ string literal for the line: octal escapes (always three digits, so a
// following digit cannot join them) for everything but plain printable characters;
// '?' is escaped so that no trigraph can form.
std::string Literal(const std::string& line)
{
    std::string literal = "\"";
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\' && c != '?') {
            literal += c;
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\%03o", byte);
            literal += escape;
        }
    }
    literal += "\"sv";
    return literal;
}

std::string Source(const std::string& hexPath, const std::vector<std::string>& lines, const Identity& identity)
{
    std::ostringstream out;
    out << "// Generated by zb_hextable from " << hexPath << ". Do not edit: change that file\n"
        << "// (or the ZB_UPDATE_IMAGE cache variable) and rebuild.\n"
        << "#include \"FirmwareIdentity.h\"\n"
        << "#include \"HexLineTable.h\"\n\n"
        << "#include <iterator>\n"
        << "#include <string_view>\n\n"
        << "namespace zb {\n\n"
        << "using namespace std::string_view_literals;\n\n"
        << "constinit const std::string_view HexLineTable[] = {\n";
    for (const std::string& line : lines)
        out << "    " << Literal(line) << ",\n";
    out << "};\n\n"
        << "constinit const std::int32_t HexLineCount = " << lines.size() << ";\n\n"
        << "static_assert(std::size(HexLineTable) == " << lines.size() << ");\n\n"
        << "constinit const FirmwareIdentity CarriedFirmware = {\n"
        << "    \"" << identity.sha256 << "\"sv,\n"
        << "    " << identity.records << ",\n"
        << "    " << Address(identity.programFirst) << ",\n"
        << "    " << Address(identity.programLast) << ",\n"
        << "    \"" << identity.text << "\"sv,\n"
        << "};\n\n"
        << "}  // namespace zb\n";
    return out.str();
}

// set() commands that CMake's include() or cmake -C reads.
std::string IdentityScript(const std::string& hexPath, const Identity& identity)
{
    std::ostringstream out;
    out << "# Generated by zb_hextable from " << hexPath << ". Do not edit.\n"
        << "set(ZB_FIRMWARE_SHA256 \"" << identity.sha256 << "\")\n"
        << "set(ZB_FIRMWARE_RECORDS " << identity.records << ")\n"
        << "set(ZB_FIRMWARE_PROGRAM_FIRST \"" << Address(identity.programFirst) << "\")\n"
        << "set(ZB_FIRMWARE_PROGRAM_LAST \"" << Address(identity.programLast) << "\")\n"
        << "set(ZB_FIRMWARE_IDENTITY \"" << identity.text << "\")\n";
    return out.str();
}

// Written beside the target and renamed, so that a failed run never leaves a
// half-written source for the next build to compile.
bool WriteFile(const std::string& path, const std::string& text)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out)
            return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

// Reads, checks and writes; false after reporting why not.
bool MakeTable(const std::string& hexPath, const std::string& outputPath, const std::string& identityPath)
{
    std::string text;
    if (!ReadFile(hexPath, text)) {
        std::cerr << hexPath << ": error: cannot read the update image\n";
        return false;
    }
    std::vector<std::string> lines;
    SplitLines(text, lines);
    if (lines.empty()) {
        std::cerr << hexPath << ": error: the update image is empty; it must hold Intel HEX records\n";
        return false;
    }
    if (lines.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        std::cerr << hexPath << ": error: too many lines for HexLineCount\n";
        return false;
    }
    const std::size_t refused = FirstRefusedLine(lines);
    if (refused < lines.size()) {
        std::cerr << hexPath << ':' << refused + 1 << ": error: the updater's HEX parser refuses this line: \""
                  << Shown(lines[refused]) << "\"\n"
                  << hexPath << ": error: not embedded; fix the file or choose another with -DZB_UPDATE_IMAGE=<file.hex>\n";
        return false;
    }
    // The table is parsed as one list at run time; make sure that agrees with the
    // line-by-line check above.
    auto image = std::make_unique<zb::FlashImageBytes>();
    zb::ClearFlashImage(*image);
    if (!zb::HexParser{}.ParseHexLines(lines, *image)) {
        std::cerr << hexPath << ": error: the HEX parser refuses the file as a whole\n";
        return false;
    }
    Identity identity;
    if (!Identify(text, lines, identity)) {
        std::cerr << hexPath << ": error: no record holds program-memory bytes; there is nothing to install\n";
        return false;
    }
    if (!identityPath.empty() && !WriteFile(identityPath, IdentityScript(hexPath, identity))) {
        std::cerr << identityPath << ": error: cannot write the firmware identity\n";
        return false;
    }
    if (!WriteFile(outputPath, Source(hexPath, lines, identity))) {
        std::cerr << outputPath << ": error: cannot write the generated table\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4) {
        std::cerr << "usage: zb_hextable <file.hex> <output.cpp> [<identity.cmake>]\n";
        return 2;
    }
    const std::string identityPath = argc == 4 ? argv[3] : "";
    if (!MakeTable(argv[1], argv[2], identityPath)) {
        // A table or identity from an earlier, good file must not stay behind to be
        // used as if it were this one's.
        std::error_code ignored;
        std::filesystem::remove(argv[2], ignored);
        if (!identityPath.empty())
            std::filesystem::remove(identityPath, ignored);
        return 1;
    }
    return 0;
}
