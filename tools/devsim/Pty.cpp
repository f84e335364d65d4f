#include "Pty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace zb::devsim {
namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// Raw 8N1, so that nothing the device sends is echoed, translated or held back
// before the updater configures the port itself.
void makeRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        fail("tcgetattr");
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        fail("tcsetattr");
}

std::string readLink(const std::string& path)
{
    std::vector<char> buffer(4096);
    ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0)
        return {};
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

}  // namespace

Pty::Pty(std::string linkPath) : linkPath_(std::move(linkPath))
{
    master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_)
        fail("posix_openpt");
    if (grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0)
        fail("grantpt/unlockpt");
    const char* name = ptsname(master_.get());
    if (!name)
        fail("ptsname");
    slavePath_ = name;
    slave_.reset(::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave_)
        fail("open " + slavePath_);
    makeRaw(slave_.get());
    int flags = fcntl(master_.get(), F_GETFL);
    if (flags < 0 || fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        fail("fcntl O_NONBLOCK");

    struct stat target {};
    if (lstat(linkPath_.c_str(), &target) == 0) {
        struct stat pointee {};
        if (!S_ISLNK(target.st_mode) || stat(linkPath_.c_str(), &pointee) == 0) {
            errno = EEXIST;
            fail(linkPath_ + " is in use");
        }
        ::unlink(linkPath_.c_str());
    }
    if (::symlink(slavePath_.c_str(), linkPath_.c_str()) != 0)
        fail("symlink " + linkPath_);
    linked_ = true;
}

Pty::~Pty()
{
    removeLink();
}

void Pty::removeLink()
{
    // Only our own link: someone may have replaced it meanwhile.
    if (linked_ && readLink(linkPath_) == slavePath_)
        ::unlink(linkPath_.c_str());
    linked_ = false;
}

int Pty::hostUnread() const
{
    int count = 0;
    if (!slave_ || ::ioctl(slave_.get(), FIONREAD, &count) != 0)
        return 0;
    return count;
}

void Pty::holdHostOutput()
{
    // Output suspended on the slave through our own descriptor holds every writer of
    // the slave, and stays in force across the host's opens and line settings.
    if (::tcflow(slave_.get(), TCOOFF) != 0)
        fail("tcflow TCOOFF");
}

void Pty::unplug()
{
    removeLink();
    slave_.reset();
    master_.reset();
}

}  // namespace zb::devsim
