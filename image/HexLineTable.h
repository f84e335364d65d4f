// The firmware that the updater carries and installs: its Intel HEX text, one
// record a line, in file order.
//
// The build generates the definition from the HEX file chosen with the CMake
// cache variable ZB_UPDATE_IMAGE (firmware/update.hex by default) and refuses a
// file that HexParser does not accept line by line. The table is constant-
// initialised, so it is complete before any code of the program runs, and it is
// never changed.
#pragma once

#include <cstdint>
#include <string_view>

namespace zb {

// HexLineCount entries, none empty.
extern const std::string_view HexLineTable[];
extern const std::int32_t HexLineCount;

}  // namespace zb
