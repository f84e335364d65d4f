// The device's end of the line: a pseudo-terminal pair whose slave is published
// under a port name through a symbolic link.
//
// The emulator keeps a descriptor of the slave open for as long as the device is
// plugged in. Without it the master would see a hang-up, and lose what was queued,
// each time the updater closes the port; with it the updater can close and reopen
// as it likes, as with a real adapter.
#pragma once

#include <string>

#include "UniqueFd.h"

namespace zb::devsim {

class Pty {
public:
    // Opens the pair, puts the slave in raw mode at 19200 baud, the speed of the
    // device's application, and creates linkPath -> slave. A
    // dangling link left by an earlier run is replaced; anything else at linkPath
    // is an error. Throws std::system_error.
    explicit Pty(std::string linkPath);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return master_.get(); }  // non-blocking; -1 once unplugged
    const std::string& linkPath() const { return linkPath_; }
    const std::string& slavePath() const { return slavePath_; }

    // Bytes the device has sent that the host has not read yet.
    int hostUnread() const;

    // The line speeds the host has set on its side (the slave), as the master sees
    // them: the one it sends at and the one it receives at. 0 for none or one that
    // has no number.
    unsigned hostSendBaud() const;
    unsigned hostReceiveBaud() const;

    // Stops the host's output as a low CTS line does on a real port with hardware
    // flow control: the host's writes take nothing more (they block, or fail with
    // EAGAIN) until the device is stopped. Throws std::system_error.
    void holdHostOutput();

    // Like pulling the cable of a USB adapter: the device node goes away and the
    // host's reads and writes on its open descriptor fail from now on.
    void unplug();

private:
    void removeLink();

    UniqueFd master_;
    UniqueFd slave_;
    std::string slavePath_;
    std::string linkPath_;
    bool linked_ = false;
};

}  // namespace zb::devsim
