#include "ProgramRun.h"

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <signal.h>
#include <linux/fs.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zb::test {

namespace {

constexpr uid_t kNobody = 65534;

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The environment of the run: ours without a display and without a chosen Qt
// platform (the program must pick the offscreen one itself), with the port folder
// and what the options set.
std::vector<std::string> runEnvironment(const ProgramRun::Options& options) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
            name == "ZBCOMM_DEVICE_DIR" || name == "ZBUPDATER_TRAFFIC_LOG")
            continue;
        env.emplace_back(text);
    }
    if (!options.deviceDir.empty()) env.push_back("ZBCOMM_DEVICE_DIR=" + options.deviceDir);
    if (!options.display.empty()) env.push_back("DISPLAY=" + options.display);
    if (!options.qtPlatform.empty()) env.push_back("QT_QPA_PLATFORM=" + options.qtPlatform);
    env.insert(env.end(), options.environment.begin(), options.environment.end());
    return env;
}

std::string environmentText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string launcherPath() {
    std::string path = environmentText("ZB_E2E_LAUNCHER");
#ifdef ZBUPDATER_LAUNCHER
    if (path.empty() && environmentText("ZB_E2E_PROGRAM").empty()) path = ZBUPDATER_LAUNCHER;
#endif
    return path;
}

std::string programPath() {
    std::string path = environmentText("ZB_E2E_PROGRAM");
#ifdef ZBUPDATER_PATH
    if (path.empty()) path = ZBUPDATER_PATH;
#endif
    if (path.empty()) throw std::runtime_error("ZB_E2E_PROGRAM names no program");
    return path;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// Sets or clears the immutable flag of a folder or file (ext4 and most Linux file
// systems).
void setImmutable(const std::string& folder, bool on) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    const bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                    (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL,
                     ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0) ::close(fd);
    if (!ok && on) throw std::runtime_error("cannot make " + folder + " immutable");
}

}  // namespace

std::string testedProgram() { return programPath(); }

bool testsWindowsProgram() {
    const std::string path = programPath();
    return path.size() > 4 && path.compare(path.size() - 4, 4, ".exe") == 0;
}

ProgramRun::ProgramRun(Options options) : options_(std::move(options)), launcher_(launcherPath()) {
    folder_ = (std::filesystem::temp_directory_path() / "zbrun.XXXXXX").string();
    if (::mkdtemp(folder_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    ::chmod(folder_.c_str(), 0755);
    workDir_ = folder_ + "/work";
    std::filesystem::create_directory(workDir_);
    const std::string earlier = workDir_ + "/status.dat";
    if (!options_.earlierStatus.empty()) std::ofstream(earlier) << options_.earlierStatus;
    if (options_.earlierStatusReadOnly) ::chmod(earlier.c_str(), 0444);
    const mode_t workMode = options_.readOnlyWorkDir ? 0555 : options_.asOrdinaryUser ? 0777 : 0755;
    ::chmod(workDir_.c_str(), workMode);

    notify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify_ < 0 || ::inotify_add_watch(notify_, workDir_.c_str(), IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0)
        throw std::runtime_error("cannot watch " + workDir_);

    if (!launcher_.empty() && options_.readOnlyWorkDir && options_.asOrdinaryUser && ::geteuid() == 0) {
        // Wine runs only as the owner of its prefix, and its server, not the program,
        // creates the files, so the program keeps our user, and the folder is made
        // immutable instead, which refuses new files to every user; an earlier result
        // in it is made immutable too, as on a read-only medium.
        if (!options_.earlierStatus.empty()) setImmutable(earlier, true);
        setImmutable(workDir_, true);
        immutable_ = true;
    }
    start();
}

void ProgramRun::start() {
    const std::string errPath = folder_ + "/stderr.txt";
    const int errFile = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (errFile < 0) throw std::runtime_error("cannot create " + errPath);
    const int err = errorOutput(options_.errorOutput, errFile);
    const std::string outPath = folder_ + "/stdout.txt";
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) throw std::runtime_error("cannot create " + outPath);

    std::vector<std::string> argTexts;
    const bool dropRoot = options_.asOrdinaryUser && ::geteuid() == 0;
    if (!launcher_.empty()) argTexts.push_back(launcher_);
    argTexts.push_back(options_.program.empty() ? programPath() : options_.program);
    argTexts.insert(argTexts.end(), options_.arguments.begin(), options_.arguments.end());
    const bool setUser = dropRoot && launcher_.empty();
    std::vector<std::string> envTexts = runEnvironment(options_);
    std::vector<char*> argv = pointers(argTexts);
    std::vector<char*> envp = pointers(envTexts);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // Only async-signal-safe calls from here on. A process group of its own, as
        // a terminal session gives a program it starts.
        ::setpgid(0, 0);
        ::dup2(out, STDOUT_FILENO);
        if (err >= 0)
            ::dup2(err, STDERR_FILENO);
        else
            ::close(STDERR_FILENO);
        if (::chdir(workDir_.c_str()) != 0) ::_exit(126);
        if (setUser) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(126);
        }
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(errFile);
    if (err >= 0 && err != errFile) ::close(err);
}

int ProgramRun::errorOutput(ErrorOutput kind, int file) {
    int fds[2] = {-1, -1};
    switch (kind) {
    case ErrorOutput::File:
        return file;
    case ErrorOutput::Closed:
        return -1;
    case ErrorOutput::FullDisk:
        fds[1] = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        if (fds[1] < 0) throw std::runtime_error("cannot open /dev/full");
        return fds[1];
    case ErrorOutput::PipeWithoutReader:
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        ::close(fds[0]);
        return fds[1];
    case ErrorOutput::Terminal: {
        if (terminal_ >= 0) ::close(terminal_);
        terminal_ = -1;
        terminalText_.clear();
        if (::openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
        ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        terminal_ = fds[0];
        return fds[1];
    }
    case ErrorOutput::StalledPipe: {
        if (stalledReader_ >= 0) ::close(stalledReader_);
        stalledReader_ = -1;
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        // Filled to the brim without blocking here, then left blocking for the
        // program, as a caller's pipe is.
        const int flags = ::fcntl(fds[1], F_GETFL);
        ::fcntl(fds[1], F_SETFL, flags | O_NONBLOCK);
        const std::string block(4096, 'x');
        while (::write(fds[1], block.data(), block.size()) > 0) {
        }
        ::write(fds[1], block.data(), 1);  // fills the last page
        ::fcntl(fds[1], F_SETFL, flags);
        stalledReader_ = fds[0];
        return fds[1];
    }
    }
    return file;
}

ProgramRun::~ProgramRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (immutable_) {
        setImmutable(workDir_, false);
        if (!options_.earlierStatus.empty()) setImmutable(workDir_ + "/status.dat", false);
    }
    if (notify_ >= 0) ::close(notify_);
    if (stalledReader_ >= 0) ::close(stalledReader_);
    if (terminal_ >= 0) ::close(terminal_);
    ::chmod(workDir_.c_str(), 0755);
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

void ProgramRun::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::optional<int> ProgramRun::wait(std::chrono::milliseconds limit) {
    std::optional<int> status = collect(limit);
    if (!retried_ && status == 1 && wineStartFailed()) {
        retried_ = true;
        std::cerr << "ProgramRun: Wine failed to start the program (exit status 1, no output, no result, "
                     "nothing sent on the line); starting it once more\n";
        start();
        status = collect(limit);
    }
    return status;
}

std::optional<int> ProgramRun::collect(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        // A terminal holds only a few KiB: it is read while the program runs.
        readTerminal();
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    readTerminal();
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

bool ProgramRun::wineStartFailed() {
    // The program itself always ends with exit status 0; under Wine a start may,
    // rarely, end with 1 before the program has run at all. Only such a start is
    // repeated: no report, nothing on standard output or standard error (the port's
    // state is shown there before any byte is sent), and nothing on the line when
    // the test can tell.
    if (launcher_.empty() || !testsWindowsProgram()) return false;
    if (statusExists() || statusReports() > 0) return false;
    if (!standardOutput().empty()) return false;
    const bool errorOutputSeen = options_.errorOutput == ErrorOutput::File;
    if (errorOutputSeen && !standardError().empty()) return false;
    if (options_.lineHeardNothing) return options_.lineHeardNothing();
    return errorOutputSeen;
}

bool ProgramRun::statusExists() const { return std::filesystem::exists(workDir_ + "/status.dat"); }

std::string ProgramRun::status() const { return readWhole(workDir_ + "/status.dat"); }

int ProgramRun::statusReports() {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(notify_, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->len > 0 && std::strcmp(event->name, "status.dat") == 0) ++reports_;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return reports_;
}

namespace {

std::string withUnixLineEnds(const std::string& text) {
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        lines += text[i];
    }
    return lines;
}

}  // namespace

void ProgramRun::readTerminal() {
    if (terminal_ < 0) return;
    char buffer[4096];
    ssize_t n;
    // Ends with EAGAIN while the program runs, with EIO once it has gone.
    while ((n = ::read(terminal_, buffer, sizeof buffer)) > 0) terminalText_.append(buffer, static_cast<std::size_t>(n));
}

std::string ProgramRun::standardError() const {
    if (options_.errorOutput == ErrorOutput::Terminal) return withUnixLineEnds(terminalText_);
    return withUnixLineEnds(readWhole(folder_ + "/stderr.txt"));
}

std::string ProgramRun::standardOutput() const { return withUnixLineEnds(readWhole(folder_ + "/stdout.txt")); }

}  // namespace zb::test
