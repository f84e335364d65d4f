#include "PtyLine.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace zbtest {

namespace {

// Generous: a bound that only a broken exchange reaches.
constexpr std::chrono::milliseconds kAnswerLimit{5000};

void fail(const char* what) { throw std::runtime_error(what); }

}  // namespace

PtyLine::PtyLine(const std::string& port) : port_(port) {
    char pattern[] = "/tmp/zbpty-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) fail("mkdtemp");
    dir_ = pattern;
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) fail("posix_openpt");
    const char* slaveName = ::ptsname(master_);
    if (slaveName == nullptr) fail("ptsname");
    // Held open for the test's whole life, so that the master never sees a hang-up
    // between the port's close and a reopen.
    slave_ = ::open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) fail("open slave");
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    std::filesystem::create_symlink(slaveName, dir_ + "/" + port_);
    ::setenv("ZBCOMM_DEVICE_DIR", dir_.c_str(), 1);
}

PtyLine::~PtyLine() {
    if (answerer_.joinable()) answerer_.join();
    ::close(slave_);
    ::close(master_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void PtyLine::send(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0) fail("write master");
        done += static_cast<std::size_t>(n);
    }
}

std::vector<std::uint8_t> PtyLine::read(std::size_t count, std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        std::uint8_t buffer[512];
        const std::size_t want = std::min(sizeof buffer, count - got.size());
        const ssize_t n = ::read(master_, buffer, want);
        if (n <= 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

void PtyLine::answerAfter(std::size_t count, std::vector<std::uint8_t> reply) {
    if (answerer_.joinable()) answerer_.join();
    answerer_ = std::thread([this, count, reply = std::move(reply)] {
        answered_ = read(count, kAnswerLimit);
        if (answered_.size() == count) send(reply);
    });
}

std::vector<std::uint8_t> PtyLine::takeAnswered() {
    if (answerer_.joinable()) answerer_.join();
    return answered_;
}

}  // namespace zbtest
