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
//
// A file that another program holds open (a caller polling it, a virus scanner, an
// indexer; on Windows they can refuse the replacement) is tried again for a few
// seconds; if it is still held, it is written in place when the holder lets others
// write.
bool WriteResultFile(const std::string& path, const std::string& text);

// Removes the result file of an earlier run, so that a caller never reads another
// run's result as this one's: a run that is killed, loses power or ends without a
// report leaves no result rather than the last one. Only a regular file that this
// program could write is removed; anything else of that name, or a file made
// read-only, stays. A held file is tried again as above. The removal is pushed to
// the disk. Returns false when a file that should go is still there.
bool RemoveEarlierResult(const std::string& path);

}  // namespace zb
