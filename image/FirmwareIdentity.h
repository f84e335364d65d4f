// Which firmware the updater carries: computed by the build from the HEX file that
// it embeds (see HexLineTable.h), so that a copy of the program can say what it
// installs before anyone puts it on a line.
#pragma once

#include <cstdint>
#include <string_view>

namespace zb {

struct FirmwareIdentity {
    std::string_view sha256;     // of the HEX file byte for byte, 64 lower-case hex digits
    std::int32_t records;        // lines of the file, equal to HexLineCount
    std::uint32_t programFirst;  // lowest program-memory address a data record fills
    std::uint32_t programLast;   // highest one
    // "SHA-256 <digits>, <records> records, program 0x<first>-0x<last>": the line the
    // program prints for --version and the Windows version resource shows.
    std::string_view text;
};

extern const FirmwareIdentity CarriedFirmware;

}  // namespace zb
