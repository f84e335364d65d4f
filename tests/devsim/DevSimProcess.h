// Runs the device emulator (devsim) as a child process for tests.
//
//     zb::test::DevSimProcess device({"--no-app", "--erase-fail", "2:silent"});
//     setenv("ZBCOMM_DEVICE_DIR", device.dir().c_str(), 1);   // COM3 -> the device
//     ... run the updater or open device.devicePath() ...
//     device.stop();                                           // SIGTERM, waits
//     auto flash = device.flash();                             // final flash dump
//     for (const auto& line : device.transcript()) ...
//
// Each instance gets a new temporary folder that holds the port link, the
// transcript ("transcript.txt") and the flash dump ("flash.bin"); the destructor
// stops the emulator if it still runs (saying so on stderr when its exit status is
// not 0) and removes the folder. Instances are
// independent, so tests may run several at once. Not thread-safe: use an instance
// from one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zb::test {

// One line of the transcript: "<ms> <dir> <kind> <rest>".
struct TranscriptLine {
    double ms = 0;                    // since the emulator started
    std::string dir;                  // "rx" (host to device), "tx" or "--"
    std::string kind;                 // "sync", "frame", "echo", "fault", ...
    std::vector<std::uint8_t> bytes;  // rx and tx lines: the bytes
    unsigned baud = 0;                // rx and tx lines: the host's line speed ("@19200"); 0 for none
    std::string text;                 // everything after the kind, as written
};

class DevSimProcess {
public:
    // Starts devsim with `options` (see tools/devsim/README.md) plus --dir, --port,
    // --transcript and --flash-out, which this class sets, and waits for its
    // "ready" line. Throws std::runtime_error when it does not come within 10 s.
    explicit DevSimProcess(std::vector<std::string> options = {}, std::string port = "COM3");
    ~DevSimProcess();
    DevSimProcess(const DevSimProcess&) = delete;
    DevSimProcess& operator=(const DevSimProcess&) = delete;

    // The folder to use as ZBCOMM_DEVICE_DIR.
    const std::filesystem::path& dir() const { return dir_; }
    const std::string& port() const { return port_; }
    // The published port: dir()/port(), a link to the pseudo-terminal's slave.
    const std::filesystem::path& devicePath() const { return devicePath_; }

    // Sends SIGTERM and waits (SIGKILL after 5 s). Returns the exit status, or 128
    // plus the signal number when killed. Later calls return the same value.
    int stop();
    bool running() const { return pid_ > 0; }

    // The latest flash dump: 131072 bytes. After stop() it is the final flash; while
    // running, the state after the latest erase or write command (empty before any).
    std::vector<std::uint8_t> flash() const;
    // The transcript so far, line by line.
    std::vector<TranscriptLine> transcript() const;

private:
    std::filesystem::path dir_;
    std::string port_;
    std::filesystem::path devicePath_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// Parses one transcript line; a malformed line gives kind "" and text = the line.
TranscriptLine parseTranscriptLine(const std::string& line);

}  // namespace zb::test
