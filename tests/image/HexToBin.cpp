// zb_hex2bin: the updater's parser as a command, for comparing it with other
// Intel HEX readers.
//
//   zb_hex2bin --embedded <out.bin>            the embedded update image
//   zb_hex2bin <in.hex> <out.bin> [...]        each file in turn
//
// Writes the whole flash image (131072 bytes) for each input the parser accepts.
// Exit status 1 when any input is refused or a file cannot be read or written.
#include "HexLineTable.h"
#include "HexParser.h"

#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

bool ReadLines(const char* path, std::vector<std::string>& lines)
{
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return in.eof() && !in.bad();
}

bool Convert(const std::vector<std::string>& lines, const char* name, const char* outPath)
{
    auto image = std::make_unique<zb::FlashImageBytes>();
    zb::ClearFlashImage(*image);
    if (!zb::HexParser{}.ParseHexLines(lines, *image)) {
        std::cerr << name << ": refused by the parser\n";
        return false;
    }
    std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image->data()), static_cast<std::streamsize>(image->size()));
    if (!out) {
        std::cerr << outPath << ": cannot write\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--embedded") == 0) {
        const std::vector<std::string> lines(zb::HexLineTable, zb::HexLineTable + zb::HexLineCount);
        return Convert(lines, "embedded image", argv[2]) ? 0 : 1;
    }
    if (argc < 3 || argc % 2 == 0) {
        std::cerr << "usage: zb_hex2bin --embedded <out.bin> | <in.hex> <out.bin> [...]\n";
        return 2;
    }
    bool ok = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::vector<std::string> lines;
        if (!ReadLines(argv[i], lines)) {
            std::cerr << argv[i] << ": cannot read\n";
            ok = false;
            continue;
        }
        ok = Convert(lines, argv[i], argv[i + 1]) && ok;
    }
    return ok ? 0 : 1;
}
