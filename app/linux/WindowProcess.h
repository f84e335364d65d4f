// WindowProcess: the Linux program's window, drawn by a program of its own,
// zbupdater-window, which the updater feeds through a pipe (WindowFeed.h).
//
// The updater maps no toolkit: whatever happens to the window (its display going
// away or never answering, its toolkit failing to start, a bad Qt option, the
// program crashing or being killed) happens in the other process. The updater never
// waits for it: the pipe does not block, and when it is full only the latest state
// of each field waits to be sent. A window that is gone costs one "No window: " line
// on standard error, and the run goes on without it.
//
// The window program is found beside the updater (the build tree) or where the
// package installs it, never through PATH; it gets neither the caller's standard
// output nor its standard error, and runs at idle scheduling priority, so that its
// start-up never delays a byte on the line.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "MainWindowView.h"
#include "WindowFeed.h"

namespace zb {

// How the end reaches the window program's process: the system's own kill and a
// waitpid that does not wait, unless a test puts others in their place.
struct ChildCalls {
    std::function<int(pid_t, int)> kill = [](pid_t pid, int signal) { return ::kill(pid, signal); };
    // waitpid(pid, nullptr, WNOHANG): the pid once reaped, 0 while it runs, -1 when
    // it is not (or no longer) this process's child.
    std::function<pid_t(pid_t)> reap;
};

class WindowProcess final : public MainWindowView {
public:
    // Starts the window program with Qt's own options on its command line. Call it
    // before any other thread exists and before the port is opened. SIGCHLD goes back
    // to its default first: a caller that ignores it would pass the ignore on to this
    // process and to the window program, and the system would then reap the window
    // program unseen, so that its process id could belong to another process by the
    // time this one sends it a signal.
    explicit WindowProcess(const std::vector<std::string>& qtOptions, ChildCalls calls = {});
    // Closes the pipe, at whose end the window program ends; one that has not ended
    // within a short bound is killed, and reaped if it goes within a second bound.
    // One that outlives that too (held in the kernel, say, by a file system that no
    // longer answers) is left to the system: the updater's exit is never held up.
    ~WindowProcess() override;
    WindowProcess(const WindowProcess&) = delete;
    WindowProcess& operator=(const WindowProcess&) = delete;

    // MainWindowView. The window program lays itself out as the run shows it and
    // draws the gauge with its own palette's button face; the hidden information
    // list and button stay in the updater.
    void redrawGauge(const TCGauge& gauge) override;
    void setStatusPanel(int panel, const std::string& text) override;
    void addInfoLine(const std::string&) override {}
    void clearInfoLines() override {}
    void setUpdateButtonVisible(bool) override {}
    void placeGaugeAboveStatusBar() override {}
    GaugeColor buttonFaceColor() const override;

    // Shows the window with its caption.
    void show();
    // A box with one OK button that the window program shows; nobody waits for it.
    void showMessage(const std::string& text, const std::string& caption);

    // The window program's process, for tests; -1 when there is none.
    pid_t pid() const { return pid_; }

private:
    void start(const std::vector<std::string>& qtOptions);
    // Hands the pipe what it takes now, never waiting.
    void send();
    // The window is gone: said once, and nothing more is sent.
    void lose(const std::string& why);

    // The end's steps; false when the process is gone or not this one's child.
    bool stillRunning();

    ChildCalls calls_;
    pid_t pid_ = -1;
    int pipe_ = -1;
    WindowFeed feed_;
    std::string unsent_;  // the rest of the frames the pipe has begun to take
    bool shown_ = false;
};

}  // namespace zb
