// Runs the real zbupdater program the way a calling program does: in a fresh
// working directory of its own, with the serial ports mapped through
// ZBCOMM_DEVICE_DIR, and without a display.
//
// The program is the one this build was configured with (its own zbupdater, or the
// Windows zbupdater.exe started through tests/win/wine.sh's `run`, which maps the
// Wine prefix's COM ports to ZBCOMM_DEVICE_DIR and gives the program a display), or
// the one that ZB_E2E_PROGRAM names, started through ZB_E2E_LAUNCHER when that is set.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zb::test {

// The program under test is the Windows one (run under Wine).
bool testsWindowsProgram();
// The program that the runs start unless told otherwise.
std::string testedProgram();

class ProgramRun {
public:
    // Where the program's standard error goes.
    enum class ErrorOutput {
        File,               // a file that standardError() reads
        PipeWithoutReader,  // a pipe whose reader has gone: every write fails (EPIPE)
        StalledPipe,        // a full pipe whose reader stays but never reads
        Closed,             // descriptor 2 not open
        FullDisk,           // /dev/full: every write fails (ENOSPC)
        Terminal,           // a pseudo-terminal, read as it comes; standardError() gives it
    };
    struct Options {
        std::vector<std::string> arguments{};
        std::string deviceDir{};       // ZBCOMM_DEVICE_DIR; unset when empty
        bool asOrdinaryUser = false;   // drop root for the run (folder permissions)
        bool readOnlyWorkDir = false;  // the working directory refuses new files
        std::string display{};         // DISPLAY; unset when empty
        std::string qtPlatform{};      // QT_QPA_PLATFORM; unset when empty
        ErrorOutput errorOutput = ErrorOutput::File;
        std::vector<std::string> environment{};  // further "NAME=value" entries
        std::string earlierStatus{};   // when set, "status.dat" holds it before the start
        bool earlierStatusReadOnly = false;  // and is read-only (mode 0444)
        std::string program{};         // another copy of the program; this build's when empty
        // Whether the device side of the port has received nothing so far. Under
        // Wine, a start that failed before the program ran is repeated once; with
        // this, also when standard error does not go to a file.
        std::function<bool()> lineHeardNothing{};
    };

    // Starts the program; it runs until wait() collects it.
    explicit ProgramRun(Options options);
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    // Waits until the program ends, at most `limit`; returns its exit status, or
    // nothing when it did not end normally in time (it is then killed). A start
    // that Wine failed before the program ran at all is made once more (and said
    // on standard error), with the same limit.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(60));

    // Ends the program at once (SIGKILL), as a caller's own time-out or a power cut
    // does.
    void kill();

    // The program's process, which leads a process group of its own; -1 once collected.
    pid_t pid() const { return pid_; }
    const std::string& workDir() const { return workDir_; }
    bool statusExists() const;
    std::string status() const;        // content of "status.dat", byte for byte
    // Standard error, with Windows line ends (CR LF, and on a terminal the CR that
    // the terminal puts before every LF) read as LF; empty unless ErrorOutput::File
    // or ErrorOutput::Terminal.
    std::string standardError() const;
    // Standard output, read the same way.
    std::string standardOutput() const;
    // How many times "status.dat" got a new content so far, as the working
    // directory's change notifications show: a report appears once under that name,
    // as a finished file linked in (created), renamed onto it, or written in place
    // and closed.
    int statusReports();

private:
    void start();
    std::optional<int> collect(std::chrono::milliseconds limit);
    bool wineStartFailed();
    // The descriptor the program gets as standard error; -1 for none.
    int errorOutput(ErrorOutput kind, int file);
    // Takes what the program wrote to its terminal so far.
    void readTerminal();

    Options options_;
    std::string launcher_;  // empty: the program is started directly
    std::string folder_;   // holds the working directory and the captured output
    std::string workDir_;
    pid_t pid_ = -1;
    int notify_ = -1;  // inotify descriptor watching the working directory
    int stalledReader_ = -1;  // the read end of a stalled standard-error pipe
    int terminal_ = -1;       // the master side of the standard-error terminal
    std::string terminalText_;
    int reports_ = 0;
    bool immutable_ = false;  // the working directory was made immutable for the run
    bool retried_ = false;
};

}  // namespace zb::test
