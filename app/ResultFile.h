// The result file "status.dat": one result text, nothing else.
#pragma once

#include <functional>
#include <string>

#include "HostPlatform.h"

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

// What became of the result file of an earlier run at the start.
enum class EarlierResult {
    None,     // there was none (nothing of that name that is a file or a symbolic link),
              // or it is gone now
    Emptied,  // it could not be removed (the folder refuses, or another program holds
              // it open), but it could be written: it is empty now, and the report will
              // replace it or be written into it in place
    Held,     // another program still holds it open (Windows), and it was empty already:
              // there is nothing to misread; the report will try again
    Stands,   // it can be neither removed nor emptied (a read-only folder or medium, or
              // a holder that lets nobody write for longer than the retry bound): no
              // report of this run could ever take its place
};

// How RemoveEarlierResult removes a name: the system's own RemoveFile, unless a test
// puts another call in its place.
using RemoveCall = std::function<FileOutcome(const std::string&)>;

// Clears the result file of an earlier run, so that a caller never reads another
// run's result as this one's: a run that is killed, loses power or ends without a
// report leaves no result rather than the last one. A regular file is removed
// whatever its own permissions, wherever the folder allows it (on Windows the
// read-only attribute is cleared first); where the folder refuses, a writable file is
// emptied instead. A symbolic link of that name is removed like a file, and its
// target stays as it is; one that cannot be removed is never written through. A
// directory or anything else of that name is left alone. A name that has gone by the
// time it is removed counts as removed.
//
// A file that another program holds open is emptied at once where the holder lets
// others write, so that no old text stays readable, and its removal tried again for
// a few seconds. A removal that the system reported as done while the name stays (on
// Windows, a holder that shares deletion keeps the name until it lets go; further
// opens and removals are refused meanwhile) is waited for within the same bound. The
// removal or the emptying is pushed to the disk.
EarlierResult RemoveEarlierResult(const std::string& path, const RemoveCall& remove = RemoveFile);

}  // namespace zb
