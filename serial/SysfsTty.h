// What Linux's sysfs tells about a tty, for the list of ports present.
#pragma once

#include <filesystem>

namespace zb {

// Whether the tty whose class entry is `ttyEntry` (/sys/class/tty/ttyS3) is one of
// the 8250 driver's placeholders: a node without a UART behind it.
bool IsPlaceholderTty(const std::filesystem::path& ttyEntry);

}  // namespace zb
