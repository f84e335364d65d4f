// The few operations of the window's logic that differ between operating systems.
// One file per system implements them (HostPlatformPosix.cpp, and a Windows one),
// chosen by the build; everything else in app/ is standard C++.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace zb {

// Creates the file `path` for binary writing; fails when the name exists already, so
// that a file of someone else's is never taken over. (The "x" mode of fopen is not
// known to every C runtime: Windows' own rejects it.)
std::FILE* CreateNewFile(const std::string& path);

// Pushes what was written to `file` down to the disk (as far as the system allows),
// so that a replacement made afterwards never shows an empty file after a crash.
bool FlushFileToDisk(std::FILE* file);

// What came of an operation on a file that another program may hold open.
enum class FileOutcome {
    Done,
    Held,    // another program holds the file open in a way that refuses this (Windows
             // sharing or lock violation); it may let go soon
    Failed,  // refused for any other reason
};

// Opens the existing file `path` with fopen's `mode` ("r+b" or "wb"); never creates it.
FileOutcome OpenExistingFile(const std::string& path, const char* mode, std::FILE*& file);

// Puts the file `from` in place of `to` in one step, replacing `to` when it exists:
// a reader of `to` sees either the old file or the new one, never neither. `to`, when
// it exists, must have been found writable: a refusal is then taken as a holder's.
FileOutcome ReplaceFile(const std::string& from, const std::string& to);

// Removes the file `path`, whatever its own permissions (on Windows, a read-only
// attribute is cleared first, and put back when the removal is refused all the same).
FileOutcome RemoveFile(const std::string& path);

// Pushes the entries of the folder that holds `path` down to the disk (as far as the
// system allows), so that a file removed there stays removed after a crash.
void FlushFolderToDisk(const std::string& path);

// Writes `text` to standard error if that can be done without waiting, and gives
// up quietly otherwise: a closed or full pipe, a reader that has gone, a closed
// descriptor or a full disk never ends, stops or slows the caller.
void WriteToStandardError(std::string_view text);

// True when standard error is a terminal that a person reads (Linux); never on
// Windows, whose program shows its progress in its window.
bool StandardErrorIsTerminal();

// Makes the standard streams safe to write to: a descriptor 0, 1 or 2 that is not
// open is opened on the null device, so that no file or port the program opens
// later takes its number and receives its output; and a write to a pipe whose
// reader has gone fails with an error instead of ending the program with a signal.
// Called once at program start, before anything is opened or any thread started.
void GuardStandardStreams();

}  // namespace zb
