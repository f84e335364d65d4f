// A pseudo-terminal standing in for a device on a serial port: the slave is published
// as <folder>/COMn, the folder is put in ZBCOMM_DEVICE_DIR, and the test talks to the
// port through the master side.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zb::test {

class PtyPair {
public:
    explicit PtyPair(const std::string& portName = "COM3");
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& folder() const { return folder_; }
    std::string linkPath() const { return folder_ + "/" + portName_; }
    const std::string& slavePath() const { return slavePath_; }
    // Our own descriptor of the slave side: keeps the line alive while the port is
    // closed, and shows the line settings that the opener put in force.
    int slaveFd() const { return slave_; }
    int masterFd() const { return master_; }

    // Device -> port.
    void send(const std::vector<std::uint8_t>& bytes) const;
    // Port -> device: the bytes that arrive within `limit` until `count` are there.
    std::vector<std::uint8_t> receive(std::size_t count, std::chrono::milliseconds limit) const;
    // Bytes waiting in the port's receive queue.
    int pendingAtPort() const;
    // The device goes away: both of our ends are closed.
    void hangUp();

private:
    std::string portName_;
    std::string folder_;
    std::string slavePath_;
    int master_ = -1;
    int slave_ = -1;
};

// A temporary folder made the working directory for the lifetime of the object.
class TempWorkDir {
public:
    TempWorkDir();
    ~TempWorkDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string previous_;
};

// Reads a whole file; empty when it does not exist.
std::string readFile(const std::string& path);

}  // namespace zb::test
