// Texts between the program (8-bit) and the Windows API (UTF-16).
#pragma once

#include <string>
#include <string_view>

namespace zb {

// UTF-8 where the text is valid UTF-8 (the program's own texts, "schließen"
// included); otherwise the system's ANSI code page, in which Windows hands a
// program its command line.
std::wstring widen(std::string_view text);
// UTF-8.
std::string narrow(std::wstring_view text);

}  // namespace zb
