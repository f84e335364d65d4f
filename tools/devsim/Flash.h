// The device's program flash as a file: a plain 131072-byte image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zb::devsim {

inline constexpr std::size_t kFlashSize = 131072;  // bytes
inline constexpr std::uint8_t kErased = 0xFF;

// An erased flash with the file's bytes from address 0 on. An empty path gives an
// erased flash. Throws std::runtime_error for an unreadable or too long file.
std::vector<std::uint8_t> loadFlash(const std::string& path);

// Replaces the file in one step (a temporary file beside it, then a rename), so a
// reader never sees half a dump. Throws std::system_error.
void saveFlash(const std::string& path, const std::vector<std::uint8_t>& flash);

}  // namespace zb::devsim
