// The result file "status.dat": one result text, nothing else.
#pragma once

#include <string>

#include <QString>

namespace zb {

// Replaces the content of the file at `path` with exactly the bytes of `text`: no
// line end, no terminating zero. The new content appears at once and whole: it is
// written to a temporary file in the same folder, which then replaces the file,
// so that a caller polling the file never reads it empty or half-written, even
// when this program is killed in the middle of a report. Where the folder refuses
// a new file but the file itself is writable, the file is written in place.
// Returns false when the text could not be stored.
bool WriteResultFile(const QString& path, const std::string& text);

}  // namespace zb
