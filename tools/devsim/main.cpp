// devsim: the updater's target device on a pseudo-terminal. See README.md.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include "Emulator.h"
#include "Options.h"

namespace {

// Write end of the stop pipe; the signal handler can reach nothing else safely.
// The pipe stays open until the process exits.
volatile sig_atomic_t stopWriteFd = -1;

extern "C" void onStopSignal(int)
{
    int saved = errno;
    char byte = 1;
    (void)!::write(stopWriteFd, &byte, 1);
    errno = saved;
}

// Returns the read end of a pipe that SIGTERM and SIGINT make readable.
int installStopSignals()
{
    int fds[2];
    if (::pipe(fds) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");
    for (int fd : fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    stopWriteFd = fds[1];
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // Nothing is written to stdout after "ready", but a reader that has gone must
    // not kill the device.
    signal(SIGPIPE, SIG_IGN);
    return fds[0];
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    const char* envDir = std::getenv("ZBCOMM_DEVICE_DIR");
    zb::devsim::ParseResult parsed = zb::devsim::parseOptions(args, envDir ? envDir : "");
    if (parsed.options.programVersion) {
        std::puts("zbdevsim " ZB_PROGRAM_VERSION);
        return 0;
    }
    if (parsed.options.help) {
        std::fputs(zb::devsim::usageText().c_str(), stdout);
        return 0;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "devsim: %s\nRun with --help for the options.\n", parsed.error.c_str());
        return 2;
    }
    try {
        int stopFd = installStopSignals();
        zb::devsim::Emulator emulator(parsed.options);
        std::printf("ready %s\n", emulator.portPath().c_str());
        std::fflush(stdout);
        emulator.run(stopFd);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "devsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
