// A pseudo-terminal that the test plays the device on, byte by byte: the slave is
// published as $ZBCOMM_DEVICE_DIR/<port>, so that the port component opens it, and
// the test reads the host's bytes from the master and answers through it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace zbtest {

class PtyLine {
public:
    explicit PtyLine(const std::string& port = "COM7");
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    const std::string& port() const { return port_; }

    // Bytes to the host. Only once the port is open: before that the slave still
    // echoes and edits lines.
    void send(const std::vector<std::uint8_t>& bytes);
    // Up to `count` bytes from the host, waiting at most `limit` for them.
    std::vector<std::uint8_t> read(std::size_t count, std::chrono::milliseconds limit);

    // On a thread of its own: waits for `count` bytes from the host, then sends
    // `reply`. takeAnswered() joins it and returns the bytes it read.
    void answerAfter(std::size_t count, std::vector<std::uint8_t> reply);
    std::vector<std::uint8_t> takeAnswered();

private:
    std::string dir_;
    std::string port_;
    int master_ = -1;
    int slave_ = -1;
    std::thread answerer_;
    std::vector<std::uint8_t> answered_;
};

}  // namespace zbtest
