// fuzz_reply: arbitrary bytes in the receive buffer, run through the reply search,
// unescaping, CRC test and command check of bootloader replies and through the
// whole-frame stage of short-frame reception, and through the checked search of
// the information query. Whatever the bytes, nothing may be
// read or written outside the buffer and every search must end.
//
// Input: command byte, split byte k, then the reply bytes. The first k reply bytes,
// repeated, fill the whole buffer (an earlier, longer reply); the rest are then
// written over its start (a newer reply that leaves stale bytes behind), so that a
// frame start found in the first search carries over into the second.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Bootloadercomm.h"
#include "StdMainThread.h"
#include "WindowSurface.h"

namespace {

class NoWindow final : public zb::MainWindowSurface {
public:
    void ReportResult(const std::string&) override {}
    void setProgressText(const std::string&) override {}
    void setGaugeMax(std::int32_t) override {}
    void setGaugeProgress(std::int32_t) override {}
    std::int32_t gaugeProgress() const override { return 0; }
};

struct Connection {
    Connection() {
        loader.setSendBuffer(sendBuf.data());
        loader.setReceiveBuffer(recvBuf.data());
    }
    zb::StdMainThread main;
    NoWindow window;
    // Exactly the program's sizes, on the heap, so that the address sanitizer
    // reports the first byte beyond them.
    std::vector<std::uint8_t> sendBuf = std::vector<std::uint8_t>(zb::kSendBufferSize);
    std::vector<std::uint8_t> recvBuf = std::vector<std::uint8_t>(zb::kReceiveBufferSize);
    zb::ZbBootloader loader{main, window};
};

void fillRepeated(std::vector<std::uint8_t>& buffer, const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) {
        std::fill(buffer.begin(), buffer.end(), 0);
        return;
    }
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = bytes[i % count];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static Connection c;  // one port component and timer for the whole run
    const std::uint8_t command = data[0];
    const std::size_t split = std::min<std::size_t>(data[1], size - 2);
    const std::uint8_t* older = data + 2;
    const std::uint8_t* newer = older + split;
    const std::size_t newerCount = std::min(size - 2 - split, c.recvBuf.size());

    // The information query's path: search (which unescapes), then the CRC.
    fillRepeated(c.recvBuf, older, split);
    if (c.loader.findFrame()) c.loader.replyCrcOk();

    // An erase or write reply over it, checked with the frame start left over.
    std::copy(newer, newer + newerCount, c.recvBuf.begin());
    c.loader.checkReply(command);
    // The checked search of the information query, over the newer bytes only.
    c.loader.findCheckedFrame(static_cast<std::int32_t>(newerCount), command);
    c.loader.unescapeReply();
    c.loader.replyCrcOk();

    // The same bytes taken as a whole short-frame reply (application mode).
    c.loader.setRawMode(false);
    c.loader.commDataReady(&c.loader.comm());
    return 0;
}
