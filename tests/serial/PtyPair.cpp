#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace zb::test {

namespace {
std::string makeTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zbtest.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    ::chmod(pattern.c_str(), 0755);
    return pattern;
}
}  // namespace

PtyPair::PtyPair(const std::string& portName) : portName_(portName), folder_(makeTempFolder()) {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    // The line starts in the terminal's default (cooked) settings, as a port that
    // nobody has configured yet.
    slavePath_ = name;
    std::filesystem::create_symlink(slavePath_, linkPath());
    ::setenv("ZBCOMM_DEVICE_DIR", folder_.c_str(), 1);
}

PtyPair::~PtyPair() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
}

void PtyPair::send(const std::vector<std::uint8_t>& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0) throw std::runtime_error("write to pty master failed");
        done += static_cast<std::size_t>(n);
    }
}

std::vector<std::uint8_t> PtyPair::receive(std::size_t count, std::chrono::milliseconds limit) const {
    std::vector<std::uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (bytes.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        std::uint8_t buf[256];
        ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - bytes.size()));
        if (n > 0) bytes.insert(bytes.end(), buf, buf + n);
    }
    return bytes;
}

void PtyPair::hangUp() {
    ::close(master_);
    ::close(slave_);
    master_ = slave_ = -1;
}

int PtyPair::pendingAtPort() const {
    int n = 0;
    ::ioctl(slave_, FIONREAD, &n);
    return n;
}

TempWorkDir::TempWorkDir() : path_(makeTempFolder()), previous_(std::filesystem::current_path().string()) {
    std::filesystem::current_path(path_);
}

TempWorkDir::~TempWorkDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace zb::test
