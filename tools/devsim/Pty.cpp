#include "Pty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

namespace zb::devsim {
namespace {

[[noreturn]] void fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

// Raw 8N1 at the application's speed, so that nothing the device sends is echoed,
// translated or held back, and a host that sets no speed talks to the application,
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
    if (cfsetispeed(&t, B19200) != 0 || cfsetospeed(&t, B19200) != 0 || tcsetattr(fd, TCSANOW, &t) != 0)
        fail("tcsetattr");
}

unsigned baudOf(speed_t speed)
{
    static const std::pair<speed_t, unsigned> table[] = {
        {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
        {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
        {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
        {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
        {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
        {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
    };
    for (const auto& [code, baud] : table)
        if (code == speed)
            return baud;
    return 0;
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

// On Linux a pseudo-terminal's master reports the slave's settings, so the speed a
// host sets on its port is visible here, though nothing paces the bytes by it.
unsigned Pty::hostSendBaud() const
{
    termios t{};
    if (!master_ || tcgetattr(master_.get(), &t) != 0)
        return 0;
    return baudOf(cfgetospeed(&t));
}

unsigned Pty::hostReceiveBaud() const
{
    termios t{};
    if (!master_ || tcgetattr(master_.get(), &t) != 0)
        return 0;
    return baudOf(cfgetispeed(&t));
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
