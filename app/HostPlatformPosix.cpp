// The host operations of the window's logic on POSIX systems.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "HostPlatform.h"

namespace zb {

std::FILE* CreateNewFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) ::close(fd);
    return file;
}

bool FlushFileToDisk(std::FILE* file) { return ::fsync(::fileno(file)) == 0; }

FileOutcome OpenExistingFile(const std::string& path, const char* mode, std::FILE*& file) {
    // fopen's "wb" would create a file that has gone meanwhile.
    const int flags = mode[0] == 'w' ? O_WRONLY | O_TRUNC : O_RDWR;
    file = nullptr;
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return FileOutcome::Failed;
    file = ::fdopen(fd, mode);
    if (file == nullptr) {
        ::close(fd);
        return FileOutcome::Failed;
    }
    return FileOutcome::Done;
}

// POSIX has no mandatory sharing: a reader never stops a rename or an unlink.
FileOutcome ReplaceFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? FileOutcome::Done : FileOutcome::Failed;
}

FileOutcome RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 ? FileOutcome::Done : FileOutcome::Failed;
}

void FlushFolderToDisk(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

void WriteToStandardError(std::string_view text) {
    // A pipe that reports itself writable takes PIPE_BUF bytes at once; a longer
    // text is cut rather than risk a write that waits for the reader. Regular
    // files and terminals are always writable and do not wait for long.
    if (text.size() > PIPE_BUF) text = text.substr(0, PIPE_BUF);
    pollfd p{STDERR_FILENO, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) || !(p.revents & POLLOUT)) return;
    ssize_t n;
    do {
        n = ::write(STDERR_FILENO, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
}

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void GuardStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // open() returns the lowest free number: this one.
        const int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) ::close(null);
    }
    ::signal(SIGPIPE, SIG_IGN);
}

}  // namespace zb
