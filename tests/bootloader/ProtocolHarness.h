// What the bootloader tests put around a ZbBootloader: an in-memory main window
// (result, progress panel, gauge with the window's clamping rules), an information
// list, a status text, the standard-library main thread and buffers of exactly the
// program's sizes, so that the address sanitizer sees any access beyond them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Bootloadercomm.h"
#include "StdMainThread.h"
#include "WindowSurface.h"

namespace zbtest {

class MemoryInfoList final : public zb::InfoList {
public:
    void addLine(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

class MemoryText final : public zb::TextTarget {
public:
    void setText(const std::string& value) override { text = value; }
    std::string text;
};

// The gauge as the window has it: MaxValue 0 is ignored, Progress is clamped to
// 0 .. MaxValue and reads back clamped.
class MemoryWindow final : public zb::MainWindowSurface {
public:
    void ReportResult(const std::string& text) override { results.push_back(text); }
    void setProgressText(const std::string& text) override { progressTexts.push_back(text); }
    void setGaugeMax(std::int32_t value) override {
        if (value == 0) return;
        maxValue = value;
        maxValues.push_back(value);
        progress = std::min(progress, maxValue);
    }
    void setGaugeProgress(std::int32_t value) override {
        progress = std::clamp(value, 0, maxValue);
        progressHistory.push_back(progress);
    }
    std::int32_t gaugeProgress() const override { return progress; }

    std::vector<std::string> results;
    std::vector<std::string> progressTexts;
    std::vector<std::int32_t> maxValues;
    std::vector<std::int32_t> progressHistory;
    std::int32_t maxValue = 100;
    std::int32_t progress = 0;
};

// A connection object wired as the main window wires it, port not yet opened.
struct Harness {
    Harness() {
        loader.InfoBox = &info;
        loader.setStatusTarget(&status);
        loader.setSendBuffer(sendBuf.data());
        loader.setReceiveBuffer(recvBuf.data());
    }

    // Puts bytes at the front of the receive buffer, as a reply would.
    void receive(const std::vector<std::uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.end(), recvBuf.begin());
    }

    zb::StdMainThread main;
    MemoryWindow window;
    MemoryInfoList info;
    MemoryText status;
    std::vector<std::uint8_t> sendBuf = std::vector<std::uint8_t>(zb::kSendBufferSize, 0xEE);
    std::vector<std::uint8_t> recvBuf = std::vector<std::uint8_t>(zb::kReceiveBufferSize, 0xEE);
    zb::ZbBootloader loader{main, window};
};

}  // namespace zbtest
