// bench_reply_pickup [replies]: how long a reply byte waits between reaching the port
// and its DataReady on the main thread, for a device that answers 100 to 330 ms after
// the reception was armed, slower than one read of the receive watcher (as an erase
// or write of a real device is). Prints the median, the 90th and 99th percentiles,
// the worst, and how many waited over 1 ms and over 2 ms (default 300 replies, a
// pseudo-terminal as the line).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "StdMainThread.h"
#include "TZbComm.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEarliestReplyUs = 100'000;
constexpr int kLatestReplyUs = 330'000;

// The device's side: a pseudo-terminal whose slave is published as DIR/COM3.
class DeviceSide {
public:
    DeviceSide()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        const char* slave = ::ptsname(master_);
        char folder[] = "/tmp/zbpickup.XXXXXX";
        if (slave == nullptr || ::mkdtemp(folder) == nullptr) return;
        dir_ = folder;
        // Held open, as the emulator does, so that the port's own opens and closes
        // never hang the line up.
        slave_ = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
        ok_ = slave_ >= 0 && ::symlink(slave, (dir_ + "/COM3").c_str()) == 0;
    }
    ~DeviceSide()
    {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    DeviceSide(const DeviceSide&) = delete;
    DeviceSide& operator=(const DeviceSide&) = delete;

    bool ok() const { return ok_; }
    const std::string& dir() const { return dir_; }
    void send(std::uint8_t byte) const { (void)!::write(master_, &byte, 1); }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string dir_;
    bool ok_ = false;
};

double percentile(const std::vector<double>& sorted, std::size_t per100)
{
    return sorted[std::min(sorted.size() - 1, sorted.size() * per100 / 100)];
}

}  // namespace

int main(int argc, char** argv)
{
    const int replies = argc > 1 ? std::atoi(argv[1]) : 300;
    if (replies < 1) {
        std::fprintf(stderr, "usage: bench_reply_pickup [replies >= 1]\n");
        return 2;
    }
    const DeviceSide device;
    if (!device.ok()) {
        std::fprintf(stderr, "bench_reply_pickup: no pseudo-terminal\n");
        return 1;
    }
    ::setenv("ZBCOMM_DEVICE_DIR", device.dir().c_str(), 1);
    zb::StdMainThread main;
    zb::TZbComm comm(main);
    comm.SetBaudRate("115200");
    comm.SetPortNumber("COM3");
    if (!comm.OpenComm()) {
        std::fprintf(stderr, "bench_reply_pickup: the port did not open\n");
        return 1;
    }
    Clock::time_point handedOver{};
    bool ready = false;
    comm.OnDataReady = [&](zb::TZbComm*) {
        handedOver = Clock::now();
        ready = true;
    };

    std::mt19937 random(1);
    std::uniform_int_distribution<int> replyAfterUs(kEarliestReplyUs, kLatestReplyUs);
    std::vector<double> waitedMs;
    std::uint8_t reply[8] = {};
    for (int i = 0; i < replies; ++i) {
        ready = false;
        comm.ReadComm(reply, 1);
        const auto after = std::chrono::microseconds(replyAfterUs(random));
        Clock::time_point sent{};
        std::thread answer([&] {
            std::this_thread::sleep_for(after);
            sent = Clock::now();
            device.send(0x42);
        });
        while (!ready) main.processEvents();
        answer.join();
        waitedMs.push_back(std::chrono::duration<double, std::milli>(handedOver - sent).count());
    }
    comm.KillComm();

    std::sort(waitedMs.begin(), waitedMs.end());
    const auto over = [&](double ms) {
        return std::count_if(waitedMs.begin(), waitedMs.end(), [ms](double w) { return w > ms; });
    };
    std::printf("reply pickup, %d replies 100 to 330 ms after arming: median %.3f ms, p90 %.3f ms, "
                "p99 %.3f ms, worst %.3f ms; over 1 ms: %ld, over 2 ms: %ld\n",
                replies, percentile(waitedMs, 50), percentile(waitedMs, 90), percentile(waitedMs, 99),
                waitedMs.back(), static_cast<long>(over(1.0)), static_cast<long>(over(2.0)));
    return 0;
}
