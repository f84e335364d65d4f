// SHA-256 of a byte string, for the identity of the carried firmware.
#pragma once

#include <string>
#include <string_view>

namespace zb::hexgen {

// The digest as 64 lower-case hexadecimal digits, as sha256sum prints it.
std::string Sha256Hex(std::string_view bytes);

}  // namespace zb::hexgen
