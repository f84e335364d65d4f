#include "Emulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "Flash.h"

namespace zb::devsim {
namespace {

// Unplugging waits for the host to read the last reply: at least this long, so that
// bytes still on their way into the slave's queue are counted, ...
constexpr std::chrono::milliseconds kUnplugSettle{10};
// ... and at most this long, for a host that does not read.
constexpr std::chrono::milliseconds kUnplugGrace{1000};
// How often the host's queue is looked at meanwhile.
constexpr std::chrono::milliseconds kUnplugPoll{5};

}  // namespace

Emulator::Emulator(const Options& options)
    : options_(options),
      start_(Clock::now()),
      transcript_(options.transcriptPath, start_),
      line_(options.baud),
      device_(options, loadFlash(options.flashInPath), transcript_),
      pty_(options.dir + "/" + options.port)
{
    transcript_.event(start_, "start",
                      (options.noApp ? "bootloader " : "application ") + pty_.linkPath() + " -> " +
                          pty_.slavePath());
    if (options_.holdAfter == 0u)
        hold(start_);
}

void Emulator::hold(TimePoint now)
{
    pty_.holdHostOutput();
    held_ = true;
    transcript_.event(now, "fault", "line held after " + std::to_string(hostBytes_) + " bytes from the host");
}

std::size_t Emulator::lineFaults(std::uint8_t* data, std::size_t count, TimePoint now)
{
    // Bytes that were already on their way when the line was held count as still
    // waiting in the host's queue: the device never gets them.
    if (held_)
        return 0;
    if (options_.holdAfter)
        count = static_cast<std::size_t>(std::min<std::uint64_t>(count, *options_.holdAfter - hostBytes_));
    const std::uint64_t first = hostBytes_ + 1;
    if (options_.flipByte >= first && options_.flipByte < first + count) {
        data[options_.flipByte - first] ^= static_cast<std::uint8_t>(1u << options_.flipBit);
        transcript_.event(now, "fault",
                          "bit " + std::to_string(options_.flipBit) + " of byte " + std::to_string(options_.flipByte) +
                              " from the host flipped");
    }
    hostBytes_ += count;
    // Held before the device answers, so the host's next command finds the line held.
    if (options_.holdAfter && hostBytes_ == *options_.holdAfter)
        hold(now);
    return count;
}

void Emulator::run(int stopFd)
{
    for (;;) {
        advance(Clock::now());

        pollfd fds[2] = {{stopFd, POLLIN, 0}, {pty_.master(), POLLIN, 0}};
        if (writeBlocked_)
            fds[1].events |= POLLOUT;
        nfds_t count = plugged_ ? 2 : 1;

        timespec timeout{};
        timespec* wait = nullptr;
        if (auto wake = nextWake()) {
            auto left = std::max(Duration::zero(), *wake - Clock::now());
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            wait = &timeout;
        }
        if (ppoll(fds, count, wait, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "ppoll");
        }
        if (fds[0].revents != 0)
            break;
        if (plugged_ && (fds[1].revents & POLLOUT))
            writeBlocked_ = false;
        if (plugged_ && (fds[1].revents & POLLIN))
            receive(Clock::now());
    }
    transcript_.event(Clock::now(), "stop", "");
    dumpFlash();
}

void Emulator::receive(TimePoint now)
{
    std::uint8_t buffer[4096];
    for (;;) {
        ssize_t n = ::read(pty_.master(), buffer, sizeof buffer);
        if (n > 0) {
            const std::size_t arrived = lineFaults(buffer, static_cast<std::size_t>(n), now);
            // The host's setting when its bytes are read: it writes and waits for an
            // answer or a time-out before it changes the speed.
            const unsigned hostBaud = pty_.hostSendBaud();
            for (std::size_t i = 0; i < arrived; ++i) {
                device_.arrived(buffer[i], line_.arrival(now), hostBaud);
                // A lock changes the pace from the next byte on.
                line_.setBaud(device_.pacingBaud());
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;  // EAGAIN: all read
    }
}

void Emulator::advance(TimePoint now)
{
    device_.expire(now);

    for (Device::Reply& r : device_.takeReplies())
        line_.send(std::move(r.bytes), r.notBefore, std::move(r.label), r.baud);
    if (device_.takeFlashChanged())
        dumpFlash();

    if (plugged_)
        transmit(now);
    if (plugged_ && device_.unplugged() && line_.sendQueueEmpty())
        unplugWhenRead(now);
}

void Emulator::unplugWhenRead(TimePoint now)
{
    // Closing the master throws away what the host has not read yet; a real device
    // pulled after its reply would have got that reply to the host first. So the
    // line dies once the host has read everything, or after a grace period.
    if (!unplugSince_)
        unplugSince_ = now;
    bool settled = now - *unplugSince_ >= kUnplugSettle && pty_.hostUnread() == 0;
    if (!settled && now - *unplugSince_ < kUnplugGrace)
        return;
    pty_.unplug();
    plugged_ = false;
    transcript_.event(Clock::now(), "unplug", pty_.linkPath());
}

void Emulator::transmit(TimePoint now)
{
    // Behind a latency timer, a byte waits in the adapter for the timer's next tick.
    const TimePoint handOver = options_.latency.count() > 0 ? latencyTick(now, false) : now;
    while (!writeBlocked_) {
        std::size_t count = line_.sendable(handOver);
        if (count == 0)
            return;
        const unsigned hostBaud = pty_.hostReceiveBaud();
        std::vector<std::uint8_t> bytes(line_.sendData(), line_.sendData() + count);
        if (hostBaud != line_.sendBaud())
            garble(bytes, hostBaud, now);
        ssize_t n = ::write(pty_.master(), bytes.data(), count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            writeBlocked_ = true;  // EAGAIN: the host is not reading
            return;
        }
        for (Line::Sent& s : line_.sent(static_cast<std::size_t>(n))) {
            ++repliesSent_;
            transcript_.tx(Clock::now(), s.label.c_str(), s.bytes, hostBaud);
        }
    }
}

void Emulator::garble(std::vector<std::uint8_t>& bytes, unsigned hostBaud, TimePoint now)
{
    std::fill(bytes.begin(), bytes.end(), kGarbledByte);
    // One line for each reply, however many pieces it leaves in.
    if (garbledReply_ == repliesSent_)
        return;
    garbledReply_ = repliesSent_;
    transcript_.event(now, "garbled",
                      "reply at " + std::to_string(line_.sendBaud()) + " baud, host at " + std::to_string(hostBaud));
}

std::optional<TimePoint> Emulator::nextWake() const
{
    std::optional<TimePoint> wake;
    auto consider = [&wake](std::optional<TimePoint> t) {
        if (t && (!wake || *t < *wake))
            wake = t;
    };
    consider(device_.deadline());
    if (plugged_ && !writeBlocked_) {
        std::optional<TimePoint> send = line_.nextSendTime();
        if (send && options_.latency.count() > 0)
            send = latencyTick(*send, true);
        consider(send);
    }
    if (plugged_ && unplugSince_)
        consider(Clock::now() + kUnplugPoll);
    return wake;
}

TimePoint Emulator::latencyTick(TimePoint t, bool next) const
{
    const Duration period = options_.latency;
    const Duration since = std::max(Duration::zero(), t - start_);
    Duration ticks = since / period * period;
    if (next && ticks < since)
        ticks += period;
    return start_ + ticks;
}

void Emulator::dumpFlash()
{
    if (!options_.flashOutPath.empty())
        saveFlash(options_.flashOutPath, device_.flash());
}

}  // namespace zb::devsim
