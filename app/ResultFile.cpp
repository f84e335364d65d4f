// The result file, written through a temporary file that replaces it.
#include "ResultFile.h"

#include <cstdio>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "HostPlatform.h"

namespace zb {

namespace {

namespace fs = std::filesystem;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Writes all of `text` and closes the file; true when every step succeeded.
bool WriteAndClose(File file, const std::string& text, bool toDisk) {
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
                         std::fflush(file.get()) == 0 && (!toDisk || FlushFileToDisk(file.get()));
    return std::fclose(file.release()) == 0 && written;
}

// A new file beside `path` with a name nobody else uses; empty when the folder
// refuses it.
File CreateTemporaryBeside(const fs::path& path, std::string& name) {
    // A name from the clock; the exclusive open below makes it safe when another
    // writer happens to choose the same one.
    auto stamp = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 16; ++attempt, stamp = stamp * 6364136223846793005ULL + 1) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%08llx", stamp & 0xFFFFFFFFULL);
        name = path.string() + suffix;
        // Fails when the name exists, so another writer's file is never taken.
        if (std::FILE* file = CreateNewFile(name)) return File(file);
        std::error_code ec;
        if (!fs::exists(name, ec)) break;  // refused for another reason than the name
    }
    return nullptr;
}

// Scanners and indexers hold a file for well under this.
constexpr std::chrono::milliseconds kHeldRetry{2500};
constexpr std::chrono::milliseconds kHeldPause{50};

// Runs `operation` until it is no longer refused by a holder, or `until` has passed.
template <class Operation>
FileOutcome RetryWhileHeld(Operation operation, std::chrono::steady_clock::time_point until) {
    for (;;) {
        const FileOutcome outcome = operation();
        if (outcome != FileOutcome::Held || std::chrono::steady_clock::now() >= until) return outcome;
        std::this_thread::sleep_for(kHeldPause);
    }
}

// Opens the existing file `path` with `mode`, retrying while it is held.
FileOutcome OpenExisting(const std::string& path, const char* mode, std::chrono::steady_clock::time_point until,
                         File& file) {
    return RetryWhileHeld(
        [&] {
            std::FILE* opened = nullptr;
            const FileOutcome outcome = OpenExistingFile(path, mode, opened);
            file.reset(opened);
            return outcome;
        },
        until);
}

// Nothing of that name is there any more (not merely unreadable).
bool nameGone(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() == fs::file_type::not_found;
}

// Empties the existing file `path` in place, in one attempt.
FileOutcome EmptyInPlace(const std::string& path) {
    std::FILE* opened = nullptr;
    const FileOutcome outcome = OpenExistingFile(path, "wb", opened);
    if (outcome != FileOutcome::Done) return outcome;
    return WriteAndClose(File(opened), {}, true) ? FileOutcome::Done : FileOutcome::Failed;
}

// A file still held after the retry bound, neither removed nor emptied: an empty one
// has nothing to misread; one with text stands.
EarlierResult HeldUnlessItHasText(const std::string& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return !ec && size == 0 ? EarlierResult::Held : EarlierResult::Stands;
}

}  // namespace

bool WriteResultFile(const std::string& path, const std::string& text) {
    const auto until = std::chrono::steady_clock::now() + kHeldRetry;
    std::error_code ec;
    const bool exists = fs::exists(path, ec);
    if (exists) {
        // A file the caller made read-only stays as it is, as a plain write would
        // leave it, although the folder might allow replacing it. A held one may
        // still be replaced or written once it is let go.
        File probe;
        if (OpenExisting(path, "r+b", until, probe) == FileOutcome::Failed) return false;
    }
    std::string temporary;
    if (File file = CreateTemporaryBeside(path, temporary)) {
        if (exists) fs::permissions(temporary, fs::status(path, ec).permissions(), ec);
        const bool written = WriteAndClose(std::move(file), text, true);
        const FileOutcome replaced =
            written ? RetryWhileHeld([&] { return ReplaceFile(temporary, path); }, until) : FileOutcome::Failed;
        if (replaced == FileOutcome::Done) return true;
        fs::remove(temporary, ec);
        if (replaced != FileOutcome::Held) return false;
    }
    // The folder refuses new files, or a holder refuses the replacement but may let
    // others write: an existing file is written in place.
    if (!exists) return false;
    File file;
    return OpenExisting(path, "wb", until, file) == FileOutcome::Done && WriteAndClose(std::move(file), text, false);
}

EarlierResult RemoveEarlierResult(const std::string& path, const RemoveCall& remove) {
    const auto until = std::chrono::steady_clock::now() + kHeldRetry;
    std::error_code ec;
    const fs::file_status found = fs::symlink_status(path, ec);
    const bool link = fs::is_symlink(found);
    if (!link && !fs::is_regular_file(found)) return EarlierResult::None;
    // A removal reported as done can leave the name in place: on Windows a file that
    // others hold open with delete sharing stays until they let go, and refuses every
    // new open and removal as access denied meanwhile; Wine reports the removal of a
    // file that the system refuses to unlink as done. Such a name is waited for like a
    // held file, and then taken as refused.
    bool pending = false;
    bool emptied = false;
    FileOutcome removed = FileOutcome::Failed;
    for (;;) {
        removed = remove(path);
        if (removed == FileOutcome::Done && !nameGone(path)) {
            pending = true;
            removed = FileOutcome::Held;
        } else if (removed == FileOutcome::Failed && pending && !nameGone(path)) {
            removed = FileOutcome::Held;
        }
        if (removed != FileOutcome::Held) break;
        // A holder that lets others write gets the file emptied at once, so that no
        // old text stays readable during the run; the report replaces it or is
        // written into it later. A link's target is not ours to write.
        if (!pending && !link && EmptyInPlace(path) == FileOutcome::Done) {
            emptied = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= until) break;
        std::this_thread::sleep_for(kHeldPause);
    }
    // Gone, also when somebody else took it between the look and the removal.
    if (removed == FileOutcome::Done || nameGone(path)) {
        FlushFolderToDisk(path);
        return EarlierResult::None;
    }
    if (emptied) return EarlierResult::Emptied;
    if (removed == FileOutcome::Held && !pending) return HeldUnlessItHasText(path);
    // The folder refuses the removal (it is read-only, or sticky and the file someone
    // else's), or the name stayed: a file that can still be written is emptied, so
    // that the old text is gone all the same. A link is never written through.
    if (link) return EarlierResult::Stands;
    File file;
    const FileOutcome emptiedNow = OpenExisting(path, "wb", until, file);
    if (emptiedNow == FileOutcome::Done) {
        return WriteAndClose(std::move(file), {}, true) ? EarlierResult::Emptied : EarlierResult::Stands;
    }
    return emptiedNow == FileOutcome::Held ? HeldUnlessItHasText(path) : EarlierResult::Stands;
}

}  // namespace zb
