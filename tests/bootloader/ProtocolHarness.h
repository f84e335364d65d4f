// What the bootloader tests put around a ZbBootloader: an in-memory main window
// (result, progress panel, and the window's own gauge model), an information
// list, a status text, the standard-library main thread and buffers of exactly the
// program's sizes, so that the address sanitizer sees any access beyond them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Bootloadercomm.h"
#include "StdMainThread.h"
#include "TCGauge.h"
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

// The gauge is the window's own model, TCGauge, with its clamping and its MaxValue 0
// rule; the values it was given and what it read back are recorded.
class MemoryWindow final : public zb::MainWindowSurface {
public:
    void ReportResult(const std::string& text) override { results.push_back(text); }
    void setProgressText(const std::string& text) override { progressTexts.push_back(text); }
    void setGaugeMax(std::int32_t value) override {
        gauge.SetMaxValue(value);
        if (value != 0) maxValues.push_back(value);
    }
    void setGaugeProgress(std::int32_t value) override {
        gauge.SetProgress(value);
        progressHistory.push_back(gauge.Progress());
    }
    std::int32_t gaugeProgress() const override { return gauge.Progress(); }
    void breakHeld() override {
        ++breaksHeld;
        if (whileBreakHeld) whileBreakHeld();
    }

    zb::TCGauge gauge;
    int breaksHeld = 0;
    std::function<void()> whileBreakHeld;
    std::vector<std::string> results;
    std::vector<std::string> progressTexts;
    std::vector<std::int32_t> maxValues;
    std::vector<std::int32_t> progressHistory;
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
