// The result file "status.dat": one result text, nothing else.
#pragma once

#include <string>

namespace zb {

// The result file's name; relative, so it lies in the working directory of the
// process, not in the program's folder.
inline constexpr const char* kResultFileName = "status.dat";

// Replaces the content of the file at `path` with exactly the bytes of `text`: no
// line end, no terminating zero. The new content appears at once and whole: it is
// written to a temporary file in the same folder, which then replaces the file,
// so that a caller polling the file never reads it empty or half-written, even
// when this program is killed in the middle of a report. Where the folder refuses
// a new file but the file itself is writable, the file is written in place. A file
// that is there and not writable is left alone. Returns false when the text could
// not be stored.
bool WriteResultFile(const std::string& path, const std::string& text);

}  // namespace zb
