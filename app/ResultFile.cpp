// The result file, written through a temporary file that replaces it.
#include "ResultFile.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <chrono>

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
        // "x": fails when the name exists, so another writer's file is never taken.
        if (std::FILE* file = std::fopen(name.c_str(), "wbx")) return File(file);
        std::error_code ec;
        if (!fs::exists(name, ec)) break;  // refused for another reason than the name
    }
    return nullptr;
}

}  // namespace

bool WriteResultFile(const std::string& path, const std::string& text) {
    std::error_code ec;
    const bool exists = fs::exists(path, ec);
    if (exists) {
        // A file the caller made read-only stays as it is, as a plain write would
        // leave it, although the folder might allow replacing it.
        File probe(std::fopen(path.c_str(), "r+b"));
        if (!probe) return false;
    }
    std::string temporary;
    if (File file = CreateTemporaryBeside(path, temporary)) {
        if (exists) fs::permissions(temporary, fs::status(path, ec).permissions(), ec);
        if (WriteAndClose(std::move(file), text, true) && ReplaceFile(temporary, path)) return true;
        fs::remove(temporary, ec);
        return false;
    }
    // The folder refuses new files: a writable file in it is written in place.
    if (!exists) return false;
    File file(std::fopen(path.c_str(), "wb"));
    return file && WriteAndClose(std::move(file), text, false);
}

}  // namespace zb
