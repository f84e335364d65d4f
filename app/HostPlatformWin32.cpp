// The host operations of the window's logic on Windows.
#include "HostPlatform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// <windows.h> names one of its own functions so; ours is meant here.
#undef ReplaceFile

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace zb {

namespace {

// Lines in a pipe: written by a thread of their own, so that a reader that stops
// reading holds up that thread only. Lines beyond kMaxQueued are dropped.
class PipeWriter {
public:
    explicit PipeWriter(HANDLE pipe) : pipe_(pipe), thread_([this] { run(); }) {}

    // At the program's end, what is queued still goes out if the reader takes it
    // within a second; a stalled pipe does not hold up the end.
    ~PipeWriter() {
        bool stuck = false;
        {
            std::unique_lock lock(mutex_);
            drained_.wait_for(lock, std::chrono::seconds(1), [this] { return queue_.empty() && !writing_; });
            stop_ = true;
            stuck = writing_;
        }
        wake_.notify_all();
        if (stuck) {
            thread_.detach();  // blocked in the pipe; the process ends around it
        } else {
            thread_.join();
        }
    }

    void add(std::string text) {
        {
            std::lock_guard lock(mutex_);
            if (queue_.size() >= kMaxQueued) return;
            queue_.push_back(std::move(text));
        }
        wake_.notify_one();
    }

private:
    static constexpr std::size_t kMaxQueued = 256;

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            // Once stopped, no write starts: the end may have found the thread idle
            // and be joining it.
            if (stop_ || queue_.empty()) return;
            std::string text = std::move(queue_.front());
            queue_.pop_front();
            writing_ = true;
            lock.unlock();
            DWORD written = 0;
            const bool ok = ::WriteFile(pipe_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            lock.lock();
            writing_ = false;
            if (!ok) queue_.clear();  // the reader has gone: nothing more to say
            drained_.notify_all();
        }
    }

    HANDLE pipe_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::deque<std::string> queue_;
    bool writing_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// Windows' line ends.
std::string withCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

}  // namespace

std::FILE* CreateNewFile(const std::string& path) {
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = ::_fdopen(fd, "wb");
    if (file == nullptr) ::_close(fd);
    return file;
}

bool FlushFileToDisk(std::FILE* file) {
    const intptr_t handle = ::_get_osfhandle(::_fileno(file));
    if (handle == -1 || handle == -2) return false;
    return ::FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) != 0;
}

namespace {

FileOutcome outcomeOf(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? FileOutcome::Held
                                                                              : FileOutcome::Failed;
}

}  // namespace

FileOutcome OpenExistingFile(const std::string& path, const char* mode, std::FILE*& file) {
    // The C runtime's own open would take the file whatever its name is now; here it
    // must exist, and the system's error tells a held file from a refused one.
    const bool truncate = mode[0] == 'w';
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  truncate ? TRUNCATE_EXISTING : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    file = nullptr;
    if (handle == INVALID_HANDLE_VALUE) return outcomeOf(::GetLastError());
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        return FileOutcome::Failed;
    }
    file = ::_fdopen(fd, mode);
    if (file == nullptr) {
        ::_close(fd);
        return FileOutcome::Failed;
    }
    return FileOutcome::Done;
}

FileOutcome ReplaceFile(const std::string& from, const std::string& to) {
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return FileOutcome::Done;
    }
    const DWORD error = ::GetLastError();
    // A target held open without delete sharing is refused with "access denied" as
    // well (Wine always says so); the caller found the target writable before.
    return error == ERROR_ACCESS_DENIED ? FileOutcome::Held : outcomeOf(error);
}

FileOutcome RemoveFile(const std::string& path) {
    // DeleteFile refuses a file with the read-only attribute (access denied), which
    // a file copied from read-only media or an archive often has.
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    const bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) (void)::SetFileAttributesA(path.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (::DeleteFileA(path.c_str())) return FileOutcome::Done;
    const DWORD error = ::GetLastError();
    if (readOnly) (void)::SetFileAttributesA(path.c_str(), attributes);
    return outcomeOf(error);
}

void FlushFolderToDisk(const std::string& path) {
    // A folder opened for writing with backup semantics can be flushed like a file
    // (its entries); where the system refuses that, the removal stands unflushed.
    const auto slash = path.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    HANDLE handle = ::CreateFileA(folder.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    (void)::FlushFileBuffers(handle);
    ::CloseHandle(handle);
}

void WriteToStandardError(std::string_view text) {
    // A program started without a standard error handle (a GUI program from
    // Explorer, or a caller that gave none) has nothing to write to.
    const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    std::string out = withCrLf(text);
    if (::GetFileType(handle) == FILE_TYPE_PIPE) {
        static PipeWriter writer(handle);
        writer.add(std::move(out));
        return;
    }
    // Files and consoles take the bytes without waiting for anybody.
    DWORD written = 0;
    (void)::WriteFile(handle, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
}

bool StandardErrorIsTerminal() { return false; }

void GuardStandardStreams() {
    // Nothing to do: the C runtime keeps descriptors 0 to 2 taken even when the
    // process has no standard handles (a GUI program started without them), so no
    // file the program opens later gets their numbers; writes to standard error go
    // through WriteToStandardError, which looks at the handle itself; and there is
    // no signal for a pipe whose reader has gone.
}

}  // namespace zb
