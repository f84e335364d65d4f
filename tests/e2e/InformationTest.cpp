// --version, --help and --ports of the real program: what it prints, and that it
// does nothing else. COM1, the port the program starts with, is an emulator that
// must hear no byte, and no "status.dat" may appear.
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DevSimProcess.h"
#include "FirmwareIdentity.h"
#include "ProgramRun.h"

namespace zb::test {
namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::size_t bytesHeard(const std::vector<TranscriptLine>& transcript) {
    std::size_t bytes = 0;
    for (const auto& line : transcript)
        if (line.dir == "rx") bytes += line.bytes.size();
    return bytes;
}

struct Informational {
    DevSimProcess com1{{}, "COM1"};
    ProgramRun run;
    std::vector<std::string> output;

    explicit Informational(const std::string& argument)
        : run({.arguments = {argument}, .deviceDir = com1.dir().string()}) {
        EXPECT_EQ(run.wait(), 0);
        output = lines(run.standardOutput());
        com1.stop();
        EXPECT_EQ(bytesHeard(com1.transcript()), 0u) << "the program used the port";
        EXPECT_FALSE(run.statusExists()) << run.status();
        EXPECT_EQ(run.statusReports(), 0);
        EXPECT_EQ(run.standardError(), "");
    }
};

TEST(Information, VersionNamesTheProgramAndTheCarriedFirmware) {
    Informational info("--version");
    ASSERT_EQ(info.output.size(), 2u) << info.run.standardOutput();
    EXPECT_EQ(info.output[0], "zbupdater " ZB_PROGRAM_VERSION);
    EXPECT_EQ(info.output[1], "Carried firmware: " + std::string(CarriedFirmware.text));
    EXPECT_TRUE(info.output[1].starts_with("Carried firmware: SHA-256 " UPDATE_HEX_SHA256 ", ")) << info.output[1];
}

TEST(Information, HelpGivesTheArgumentTheResultTextsAndTheEnvironment) {
    Informational info("--help");
    ASSERT_FALSE(info.output.empty());
    EXPECT_EQ(info.output[0], "Usage: zbupdater PORT");
    const std::string text = info.run.standardOutput();
    for (const char* part : {"\"OK\"", "\"No parameter\"", "\"I can't open COM-port\"", "\"Bad update data format\"",
                             "\"I can't find the bootloader\"", "\"Error during erasing\"",
                             "\"Error during writing\"", "\"Orvix V4 reset error\"", "\"COM-port number error\"",
                             "ZBCOMM_DEVICE_DIR", "ZBUPDATER_TRAFFIC_LOG=1", "status.dat", "--version", "--ports"})
        EXPECT_NE(text.find(part), std::string::npos) << part;
}

TEST(Information, PortsListsTheLinkOfTheDeviceFolder) {
    Informational info("--ports");
    const std::string text = info.run.standardOutput();
    if (testsWindowsProgram()) {
        // The registry's map names the port by its COM name.
        EXPECT_TRUE(std::any_of(info.output.begin(), info.output.end(),
                                [](const std::string& l) { return l.starts_with("COM1  "); }))
            << text;
        return;
    }
    // The emulator's line, a pseudo-terminal, with the COM name and the link.
    const std::string link = info.com1.devicePath().string();
    EXPECT_TRUE(std::any_of(info.output.begin(), info.output.end(), [&](const std::string& l) {
        return l.starts_with("/dev/pts/") && l.ends_with("  COM1  " + link);
    })) << text;
}

// Anything but the one argument alone is a port name as before: one the port rule
// refuses, so nothing is opened and COM1's device hears nothing.
class NotInformational : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(NotInformational, IsARefusedPortNameAndNothingIsOpened) {
    DevSimProcess com1({}, "COM1");
    ProgramRun run({.arguments = GetParam(), .deviceDir = com1.dir().string()});
    EXPECT_EQ(run.wait(), 0);
    com1.stop();
    EXPECT_EQ(run.status(), "I can't open COM-port");
    EXPECT_EQ(run.standardOutput(), "");
    EXPECT_EQ(bytesHeard(com1.transcript()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Arguments, NotInformational,
                         ::testing::Values(std::vector<std::string>{"--version", "COM3"},
                                           std::vector<std::string>{"--Help"},
                                           std::vector<std::string>{"-v"}));

}  // namespace
}  // namespace zb::test
