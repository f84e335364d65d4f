// The traffic log that ZBUPDATER_TRAFFIC_LOG=1 turns on, over a whole run of the real
// program against the emulator: every byte the emulator received appears in the
// write records, in order, and every read record holds 8 bytes that start with a
// reception the device sent. Without the switch there is no log.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DevSimProcess.h"
#include "ProgramRun.h"
#include "PtyPair.h"

namespace zb::test {
namespace {

constexpr std::size_t kReadRecordBytes = 8;

struct LogRecord {
    char kind = 0;  // 'W' or 'R'
    std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool recordStartsAt(const std::vector<std::uint8_t>& log, std::size_t at) {
    return at + 2 <= log.size() && (log[at] == 'W' || log[at] == 'R') && log[at + 1] == '-';
}

// Splits the log into its records. A read record has a fixed size; a write record
// does not say how long it is, so the bytes the emulator received (`sent`) tell
// where it ends: the shortest run of them that is followed by a line feed and
// another record or the end of the log. Returns nothing, with the reason in
// `error`, when the log is not a sequence of such records.
std::optional<std::vector<LogRecord>> parseLog(const std::vector<std::uint8_t>& log,
                                               const std::vector<std::uint8_t>& sent, std::string& error) {
    std::vector<LogRecord> records;
    std::size_t at = 0;
    std::size_t next = 0;  // first byte of `sent` no write record has shown yet
    while (at < log.size()) {
        if (!recordStartsAt(log, at)) {
            error = "no record starts at offset " + std::to_string(at);
            return std::nullopt;
        }
        LogRecord record{static_cast<char>(log[at]), {}};
        at += 2;
        if (record.kind == 'R') {
            if (at + kReadRecordBytes >= log.size() || log[at + kReadRecordBytes] != '\n') {
                error = "read record at offset " + std::to_string(at - 2) + " is not 8 bytes and a line feed";
                return std::nullopt;
            }
            record.bytes.assign(log.begin() + static_cast<std::ptrdiff_t>(at),
                                log.begin() + static_cast<std::ptrdiff_t>(at + kReadRecordBytes));
            at += kReadRecordBytes + 1;
        } else {
            for (;;) {
                if (at >= log.size() || next >= sent.size() || log[at] != sent[next]) {
                    error = "write record bytes differ from what the emulator received, at byte " +
                            std::to_string(next) + " of the line (log offset " + std::to_string(at) + ")";
                    return std::nullopt;
                }
                record.bytes.push_back(log[at]);
                ++at;
                ++next;
                if (at < log.size() && log[at] == '\n' && (at + 1 == log.size() || recordStartsAt(log, at + 1)))
                    break;
            }
            ++at;  // the line feed
        }
        records.push_back(std::move(record));
    }
    if (next != sent.size()) {
        error = "the write records hold " + std::to_string(next) + " bytes; the emulator received " +
                std::to_string(sent.size());
        return std::nullopt;
    }
    return records;
}

// The 8-byte rule for one read record: it starts with the `count` bytes received
// and, when fewer than 8, the zero byte stored after them; with 8 or more, it holds
// the first 8.
bool followsReadRule(const std::vector<std::uint8_t>& record, const std::vector<std::uint8_t>& reply,
                     std::size_t from, std::size_t count) {
    const std::size_t shown = std::min(count, kReadRecordBytes);
    for (std::size_t i = 0; i < shown; ++i)
        if (record[i] != reply[from + i]) return false;
    return count >= kReadRecordBytes || record[count] == 0x00;
}

// What the device sent, reply by reply, as the emulator's transcript has it.
std::vector<std::vector<std::uint8_t>> replies(const std::vector<TranscriptLine>& transcript) {
    std::vector<std::vector<std::uint8_t>> result;
    for (const auto& line : transcript)
        if (line.dir == "tx") result.push_back(line.bytes);
    return result;
}

std::vector<std::uint8_t> received(const std::vector<TranscriptLine>& transcript) {
    std::vector<std::uint8_t> bytes;
    for (const auto& line : transcript)
        if (line.dir == "rx") bytes.insert(bytes.end(), line.bytes.begin(), line.bytes.end());
    return bytes;
}

TEST(TrafficLogRun, RecordsEveryWriteAndEveryCompletedReceptionOfAnOkRun) {
    DevSimProcess device;
    ProgramRun program({.arguments = {"COM3"}, .deviceDir = device.dir().string(),
                        .environment = {"ZBUPDATER_TRAFFIC_LOG=1"}});
    EXPECT_EQ(program.wait(), 0);
    device.stop();
    ASSERT_EQ(program.status(), "OK");
    const auto transcript = device.transcript();
    const std::vector<std::uint8_t> log = readBytes(program.workDir() + "/ZbComm.log");
    ASSERT_FALSE(log.empty()) << "no ZbComm.log, or an empty one";

    // The write records, one after the other, are the bytes the emulator received.
    std::string error;
    const auto records = parseLog(log, received(transcript), error);
    ASSERT_TRUE(records) << error;

    // Each read record is a reception the device sent: one that starts a reply, or
    // that continues it where the reception before ended (a short reply is read as
    // its header, then the rest). A reply that no completed reception took (the
    // information reply is read with room to spare and ends by time-out) is passed
    // over. The count is the longest that fits the rule.
    const auto sentByDevice = replies(transcript);
    std::size_t reply = 0;
    std::size_t from = 0;  // first byte of the reply not yet taken by a reception
    std::size_t reads = 0;
    std::size_t taken = 0;  // replies that receptions took whole
    for (const LogRecord& record : *records) {
        if (record.kind != 'R') continue;
        ++reads;
        std::optional<std::size_t> count;
        while (!count && reply < sentByDevice.size()) {
            const auto& bytes = sentByDevice[reply];
            for (std::size_t c = bytes.size() - from; c >= 1 && !count; --c)
                if (followsReadRule(record.bytes, bytes, from, c)) count = c;
            if (!count) {
                ++reply;
                from = 0;
            }
        }
        ASSERT_TRUE(count) << "read record " << reads << " matches no reception of what the device sent";
        from += *count;
        if (from == sentByDevice[reply].size()) {
            ++taken;
            ++reply;
            from = 0;
        }
    }
    // Every reply of the run but the information reply was read.
    EXPECT_GE(sentByDevice.size(), 80u);
    EXPECT_EQ(taken, sentByDevice.size() - 1) << reads << " read records";
}

// Only the exact value "1" turns the log on. Quick runs: the named port is not
// there, so the run ends at once with "I can't open COM-port"; with the switch on
// the log is created when the port is set up and stays empty, as nothing was sent.
struct SwitchCase {
    const char* name;
    std::optional<std::string> value;
    bool logExpected;
};

void PrintTo(const SwitchCase& c, std::ostream* out) { *out << c.name; }

class TrafficLogSwitch : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(TrafficLogSwitch, LogOnlyForExactlyOne) {
    std::vector<std::string> environment;
    if (GetParam().value) environment.push_back("ZBUPDATER_TRAFFIC_LOG=" + *GetParam().value);
    PtyPair com3("COM3");  // its folder holds no COM5
    ProgramRun program({.arguments = {"COM5"}, .deviceDir = com3.folder(), .environment = environment});
    EXPECT_EQ(program.wait(), 0);
    EXPECT_EQ(program.status(), "I can't open COM-port");
    const std::string log = program.workDir() + "/ZbComm.log";
    EXPECT_EQ(std::filesystem::exists(log), GetParam().logExpected);
    if (GetParam().logExpected) {
        EXPECT_EQ(std::filesystem::file_size(log), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, TrafficLogSwitch,
                         ::testing::Values(SwitchCase{"Unset", std::nullopt, false}, SwitchCase{"Empty", "", false},
                                           SwitchCase{"Zero", "0", false}, SwitchCase{"Yes", "yes", false},
                                           SwitchCase{"OneAndSpace", "1 ", false}, SwitchCase{"One", "1", true}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace zb::test
