#include "WindowProcess.h"

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "StandardErrorLines.h"
#include "WindowLayout.h"

extern char** environ;

namespace zb {

namespace {

constexpr const char* kWindowProgram = "zbupdater-window";
// The window program ends at the pipe's end in a few milliseconds; one that is
// stuck (a display that never answers) is not waited for longer than this.
constexpr std::chrono::milliseconds kWindowEndBound{200};
// A killed process goes within milliseconds, unless the kernel holds it (an
// uninterruptible sleep); this long at most it is waited for after the kill.
constexpr std::chrono::milliseconds kKilledEndBound{300};
constexpr int kPipeBytes = 4096;  // one page, the smallest pipe

std::string programFolder() {
    char path[PATH_MAX + 1];
    const ssize_t n = ::readlink("/proc/self/exe", path, PATH_MAX);
    if (n <= 0) return ".";
    const std::string exe(path, static_cast<std::size_t>(n));
    const auto slash = exe.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : exe.substr(0, slash);
}

// Beside the updater in the build tree; where the package puts it otherwise.
std::string windowProgramPath() {
    const std::string folder = programFolder();
    std::string path = folder + "/" + kWindowProgram;
    if (::access(path.c_str(), X_OK) != 0) path = folder + "/" ZB_WINDOW_FROM_PROGRAM "/" + kWindowProgram;
    return path;
}

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};

}  // namespace

WindowProcess::WindowProcess(const std::vector<std::string>& qtOptions, ChildCalls calls) : calls_(std::move(calls)) {
    if (!calls_.reap) calls_.reap = [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG); };
    // Before the window program exists: it is reaped by this process only, and it
    // starts with the default too.
    ::signal(SIGCHLD, SIG_DFL);
    start(qtOptions);
}

void WindowProcess::start(const std::vector<std::string>& qtOptions) {
    const std::string path = windowProgramPath();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        lose(std::string("no pipe: ") + std::strerror(errno));
        return;
    }
    SpawnActions actions;
    // The pipe is its standard input; the caller's output is not its to hold open
    // or to fill with the toolkit's warnings.
    posix_spawn_file_actions_adddup2(&actions.actions, fds[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Nor anything else the caller left open to this program without close-on-exec
    // (a pipe whose reader waits for its end, say).
    posix_spawn_file_actions_addclosefrom_np(&actions.actions, STDERR_FILENO + 1);
    SpawnAttributes spawn;
    // The updater ignores SIGPIPE and SIGHUP; the window keeps the defaults. It runs
    // only when the processor has nothing else to do.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGHUP, SIGINT, SIGTERM, SIGCHLD}) sigaddset(&defaults, signal);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&spawn.attributes, &defaults);
    posix_spawnattr_setsigmask(&spawn.attributes, &none);
    sched_param priority{};
    priority.sched_priority = 0;
    posix_spawnattr_setschedpolicy(&spawn.attributes, SCHED_IDLE);
    posix_spawnattr_setschedparam(&spawn.attributes, &priority);
    posix_spawnattr_setflags(&spawn.attributes,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSCHEDULER);

    std::vector<std::string> texts = {path};
    texts.insert(texts.end(), qtOptions.begin(), qtOptions.end());
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    // The window program ends when this process does; it checks that the parent it
    // was started by is still the one it has.
    std::string parent = "ZBUPDATER_WINDOW_PARENT=" + std::to_string(::getpid());
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "ZBUPDATER_WINDOW_PARENT=", 24) != 0) envp.push_back(*entry);
    }
    envp.push_back(parent.data());
    envp.push_back(nullptr);

    const int error = ::posix_spawn(&pid_, path.c_str(), &actions.actions, &spawn.attributes, argv.data(), envp.data());
    ::close(fds[0]);
    if (error != 0) {
        ::close(fds[1]);
        pid_ = -1;
        lose(path + ": " + std::strerror(error));
        return;
    }
    pipe_ = fds[1];
    ::fcntl(pipe_, F_SETFL, ::fcntl(pipe_, F_GETFL) | O_NONBLOCK);
    // The window needs only the latest state: a small pipe keeps what a window that
    // was held up has to read through short, and the rest waits in the feed.
    (void)::fcntl(pipe_, F_SETPIPE_SZ, kPipeBytes);
}

WindowProcess::~WindowProcess() {
    if (pipe_ >= 0) {
        send();
        ::close(pipe_);
        pipe_ = -1;
    }
    if (pid_ <= 0) return;
    // The process id stays this process's child, and so names nobody else, until it is
    // reaped: a signal goes only to one found still running just before.
    const auto start = std::chrono::steady_clock::now();
    // A window never shown (the run ended at its start) has nothing to wait for.
    const auto killAt = shown_ ? start + kWindowEndBound : start;
    const auto giveUpAt = killAt + kKilledEndBound;
    bool killed = false;
    while (stillRunning()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= giveUpAt) break;  // left to the system
        if (!killed && now >= killAt) {
            calls_.kill(pid_, SIGKILL);
            killed = true;
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pid_ = -1;
}

bool WindowProcess::stillRunning() {
    for (;;) {
        const pid_t reaped = calls_.reap(pid_);
        if (reaped == 0) return true;
        if (reaped < 0 && errno == EINTR) continue;
        return false;  // reaped now, or not this process's child any more
    }
}

void WindowProcess::redrawGauge(const TCGauge& gauge) {
    feed_.setGauge(gauge.MaxValue(), gauge.Progress());
    send();
}

void WindowProcess::setStatusPanel(int panel, const std::string& text) {
    feed_.setStatusPanel(panel, text);
    send();
}

GaugeColor WindowProcess::buttonFaceColor() const {
    // Only a placeholder: the window program draws the gauge's background in its own
    // palette's button face.
    return GaugeColor{240, 240, 240};
}

void WindowProcess::show() {
    shown_ = true;
    feed_.setCaption(layout::kCaption);
    feed_.show();
    send();
}

void WindowProcess::showMessage(const std::string& text, const std::string& caption) {
    feed_.addMessage(text, caption);
    send();
}

void WindowProcess::send() {
    if (pipe_ < 0) {
        feed_ = WindowFeed();
        return;
    }
    for (;;) {
        if (unsent_.empty()) {
            if (feed_.empty()) return;
            unsent_ = feed_.take();
        }
        const ssize_t n = ::write(pipe_, unsent_.data(), unsent_.size());
        if (n > 0) {
            unsent_.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // Full: what changes meanwhile waits in the feed, in its latest state.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        lose(n < 0 && errno == EPIPE ? std::string("the window program has ended") : std::strerror(errno));
        return;
    }
}

void WindowProcess::lose(const std::string& why) {
    if (pipe_ >= 0) {
        ::close(pipe_);
        pipe_ = -1;
    }
    unsent_.clear();
    feed_ = WindowFeed();
    StandardError().line("No window: " + why);
}

}  // namespace zb
