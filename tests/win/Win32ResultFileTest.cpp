// The result file with Windows' C runtime and file calls: exactly the text, each
// report replacing the whole content, no temporary file left behind, an earlier
// result removed even with the read-only attribute (Wine refuses to delete such a
// file as Windows does, also when run as root).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

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

TEST_F(Folder, ReaderThatSharesWritingButNotDeletingGetsTheResultWrittenInPlace) {
    // Such a reader keeps the file from being replaced for as long as it holds it.
    ASSERT_TRUE(zb::WriteResultFile(file.string(), "OK"));
    HANDLE reader = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(zb::WriteResultFile(file.string(), "Error during writing"));
    ::CloseHandle(reader);
    EXPECT_EQ(content(), "Error during writing");
    EXPECT_EQ(entries(), 1u) << "no temporary file left behind";
}

TEST_F(Folder, EarlierResultHeldForAMomentIsRemovedOnceLetGo) {
    ASSERT_TRUE(zb::WriteResultFile(file.string(), "OK"));
    HANDLE reader = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::thread letGo([reader] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ::CloseHandle(reader);
    });
    EXPECT_EQ(zb::RemoveEarlierResult(file.string()), zb::EarlierResult::None);
    letGo.join();
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(Folder, EarlierResultWithTheReadOnlyAttributeIsRemoved) {
    // As copied from read-only media or out of an archive.
    ASSERT_TRUE(zb::WriteResultFile(file.string(), "OK"));
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(zb::RemoveEarlierResult(file.string()), zb::EarlierResult::None);
    EXPECT_FALSE(fs::exists(file));
}
