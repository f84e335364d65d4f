#include "Line.h"

#include <algorithm>

namespace zb::devsim {
namespace {

constexpr unsigned kBitsPerByte = 10;  // start bit, 8 data bits, stop bit

}  // namespace

Duration byteTimeAt(unsigned baud)
{
    if (baud == 0)
        return Duration::zero();
    return std::chrono::duration_cast<Duration>(
        std::chrono::nanoseconds((1'000'000'000ULL * kBitsPerByte + baud / 2) / baud));
}

Line::Line(unsigned baud) : byteTime_(byteTimeAt(baud)) {}

void Line::setBaud(unsigned baud)
{
    byteTime_ = byteTimeAt(baud);
}

TimePoint Line::arrival(TimePoint now)
{
    // A byte starts when the line is free, or now if it has been idle.
    receiveFree_ = std::max(receiveFree_, now) + byteTime_;
    return receiveFree_;
}

void Line::send(std::vector<std::uint8_t> bytes, TimePoint notBefore, std::string label, unsigned baud)
{
    if (bytes.empty())
        return;
    outgoing_.push_back({std::move(bytes), notBefore, std::move(label), baud});
}

TimePoint Line::dueTime(const Reply& reply, std::size_t offset) const
{
    // Bytes leave back to back: offset bytes after the next one to go.
    TimePoint start = std::max(reply.notBefore, sendFree_);
    return start + byteTime_ * static_cast<Duration::rep>(offset + 1);
}

std::size_t Line::sendable(TimePoint now) const
{
    if (outgoing_.empty())
        return 0;
    const Reply& front = outgoing_.front();
    std::size_t left = front.bytes.size() - front.done;
    if (byteTime_ == Duration::zero())
        return front.notBefore <= now ? left : 0;
    // When the emulator wakes late, every byte that is due goes at once, so the
    // average rate stays that of the line.
    std::size_t count = 0;
    while (count < left && dueTime(front, count) <= now)
        ++count;
    return count;
}

const std::uint8_t* Line::sendData() const
{
    if (outgoing_.empty())
        return nullptr;
    const Reply& front = outgoing_.front();
    return front.bytes.data() + front.done;
}

unsigned Line::sendBaud() const
{
    return outgoing_.empty() ? 0 : outgoing_.front().baud;
}

std::vector<Line::Sent> Line::sent(std::size_t count)
{
    std::vector<Sent> finished;
    while (count > 0 && !outgoing_.empty()) {
        Reply& front = outgoing_.front();
        std::size_t step = std::min(count, front.bytes.size() - front.done);
        // The line's own timing, not the moment of the write, so that a late
        // wake-up does not stretch the following bytes.
        sendFree_ = dueTime(front, step - 1);
        front.done += step;
        count -= step;
        if (front.done == front.bytes.size()) {
            finished.push_back({std::move(front.bytes), std::move(front.label)});
            outgoing_.pop_front();
        }
    }
    return finished;
}

std::optional<TimePoint> Line::nextSendTime() const
{
    if (outgoing_.empty())
        return std::nullopt;
    return dueTime(outgoing_.front(), 0);
}

}  // namespace zb::devsim
