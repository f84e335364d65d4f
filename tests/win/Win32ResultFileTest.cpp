// The result file with Windows' C runtime and file calls: exactly the text, each
// report replacing the whole content, no temporary file left behind. (A read-only
// file cannot be tried here: the tests run as root under Wine, which then ignores
// the read-only attribute.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ResultFile.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace fs = std::filesystem;

namespace {

struct Folder : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("zbresult-" + std::to_string(::GetCurrentProcessId()));
    fs::path file = dir / "status.dat";
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string content() const {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }
};

}  // namespace

TEST_F(Folder, HoldsExactlyTheTextAndAShorterOneReplacesALongerOne) {
    ASSERT_TRUE(zb::WriteResultFile(file.string(), "I can't find the bootloader"));
    EXPECT_EQ(content(), "I can't find the bootloader");
    ASSERT_TRUE(zb::WriteResultFile(file.string(), "OK"));
    EXPECT_EQ(content(), "OK");  // two bytes: no line end, no CR, no zero
    EXPECT_EQ(entries(), 1u) << "no temporary file left behind";
}

TEST_F(Folder, EightBitTextIsStoredByteForByte) {
    const std::string text = "A\xDF\xE4\n\x80\xFF";
    ASSERT_TRUE(zb::WriteResultFile(file.string(), text));
    EXPECT_EQ(content(), text);
}
