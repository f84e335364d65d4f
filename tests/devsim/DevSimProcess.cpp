#include "DevSimProcess.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zb::test {
namespace {

constexpr std::chrono::seconds kReadyTimeout{10};
constexpr std::chrono::seconds kStopTimeout{5};
constexpr char kTranscriptName[] = "transcript.txt";
constexpr char kFlashName[] = "flash.bin";

std::filesystem::path makeTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "devsim-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    return pattern;
}

// Reads from fd until a full line has come or the deadline passes.
std::string readLine(int fd, std::chrono::steady_clock::time_point deadline)
{
    std::string line;
    char c = 0;
    while (line.empty() || line.back() != '\n') {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // the emulator has exited
        line += c;
    }
    return line;
}

int decodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

DevSimProcess::DevSimProcess(std::vector<std::string> options, std::string port)
    : dir_(makeTempDir()), port_(std::move(port))
{
    std::vector<std::string> args = {DEVSIM_PATH,
                                     "--dir", dir_.string(),
                                     "--port", port_,
                                     "--transcript", (dir_ / kTranscriptName).string(),
                                     "--flash-out", (dir_ / kFlashName).string()};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe(out) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, DEVSIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        std::filesystem::remove_all(dir_);
        throw std::runtime_error(std::string("cannot start " DEVSIM_PATH ": ") + std::strerror(rc));
    }
    pid_ = pid;

    std::string line = readLine(out[0], std::chrono::steady_clock::now() + kReadyTimeout);
    ::close(out[0]);
    const std::string prefix = "ready ";
    if (line.rfind(prefix, 0) != 0 || line.back() != '\n') {
        int status = stop();
        std::filesystem::remove_all(dir_);
        throw std::runtime_error("devsim did not get ready (exit status " + std::to_string(status) +
                                 ", said '" + line + "')");
    }
    devicePath_ = line.substr(prefix.size(), line.size() - prefix.size() - 1);
}

DevSimProcess::~DevSimProcess()
{
    // A crash or sanitizer report in the emulator must not go unnoticed in a test
    // that never asked for the exit status.
    if (int status = stop(); status != 0)
        std::fprintf(stderr, "DevSimProcess: devsim exited with status %d\n", status);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

int DevSimProcess::stop()
{
    if (pid_ <= 0)
        return status_;
    ::kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            break;
        if (r < 0 && errno != EINTR) {
            status = -1;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = -1;
    status_ = status < 0 ? -1 : decodeStatus(status);
    return status_;
}

std::vector<std::uint8_t> DevSimProcess::flash() const
{
    std::ifstream in(dir_ / kFlashName, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<TranscriptLine> DevSimProcess::transcript() const
{
    std::vector<TranscriptLine> lines;
    std::ifstream in(dir_ / kTranscriptName);
    for (std::string line; std::getline(in, line);)
        lines.push_back(parseTranscriptLine(line));
    return lines;
}

TranscriptLine parseTranscriptLine(const std::string& line)
{
    TranscriptLine parsed;
    std::istringstream in(line);
    if (!(in >> parsed.ms >> parsed.dir >> parsed.kind)) {
        parsed = TranscriptLine{};
        parsed.text = line;
        return parsed;
    }
    std::getline(in >> std::ws, parsed.text);
    if (parsed.dir == "rx" || parsed.dir == "tx") {
        std::istringstream hex(parsed.text);
        for (std::string byte; hex >> byte;) {
            if (byte.front() == '@')
                parsed.baud = byte == "@none" ? 0u : static_cast<unsigned>(std::stoul(byte.substr(1)));
            else
                parsed.bytes.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
        }
    }
    return parsed;
}

}  // namespace zb::test
