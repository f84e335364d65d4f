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

#include "HostPlatform.h"
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

namespace {

// Another program's handle on the file, with the sharing it grants others; closed
// after `holdMs` milliseconds by a thread of its own, or at the end.
struct Holder {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::thread letGo;
    Holder(const fs::path& file, DWORD sharing) {
        handle = ::CreateFileW(file.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
    }
    void releaseAfter(int holdMs) {
        letGo = std::thread([this, holdMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
            release();
        });
    }
    void release() {
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    ~Holder() {
        if (letGo.joinable()) letGo.join();
        release();
    }
};

}  // namespace

TEST_F(Folder, EarlierResultHeldByAReaderThatSharesWritingIsEmptiedAtOnce) {
    // The C runtime's own fopen(..., "r") shares reading and writing, not deletion: the
    // old "OK" must not stay readable while the run goes on.
    ASSERT_TRUE(zb::WriteResultFile(file.string(), "OK"));
    Holder reader(file, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(reader.handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(zb::RemoveEarlierResult(file.string()), zb::EarlierResult::Emptied);
    EXPECT_EQ(content(), "") << "while it is still held";
    reader.release();
    ASSERT_TRUE(zb::WriteResultFile(file.string(), "Error during erasing"));
    EXPECT_EQ(content(), "Error during erasing");
}

TEST_F(Folder, EarlierResultHeldPastTheBoundByAReaderThatLetsNobodyWriteStandsUnlessEmpty) {
    // Longer than the retry bound (a few seconds): no report could take its place.
    ASSERT_TRUE(zb::WriteResultFile(file.string(), "OK"));
    {
        Holder reader(file, FILE_SHARE_READ);
        ASSERT_NE(reader.handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(zb::RemoveEarlierResult(file.string()), zb::EarlierResult::Stands);
        EXPECT_EQ(content(), "OK");
    }
    // An empty one has nothing to misread: the run goes on.
    ASSERT_TRUE(zb::WriteResultFile(file.string(), ""));
    Holder reader(file, FILE_SHARE_READ);
    ASSERT_NE(reader.handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(zb::RemoveEarlierResult(file.string()), zb::EarlierResult::Held);
}

TEST_F(Folder, EarlierResultPendingDeletionIsWaitedForUntilItsNameGoes) {
    // A scanner that shares deletion: the removal succeeds, but the name stays until
    // it lets go, and refuses every new open and removal meanwhile.
    ASSERT_TRUE(zb::WriteResultFile(file.string(), "OK"));
    Holder scanner(file, FILE_SHARE_READ | FILE_SHARE_DELETE);
    ASSERT_NE(scanner.handle, INVALID_HANDLE_VALUE);
    scanner.releaseAfter(500);
    EXPECT_EQ(zb::RemoveEarlierResult(file.string()), zb::EarlierResult::None);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(Folder, EarlierResultGoneWhenTheRemovalLooksCountsAsRemoved) {
    ASSERT_TRUE(zb::WriteResultFile(file.string(), "OK"));
    const auto takenMeanwhile = [](const std::string& path) {
        ::DeleteFileA(path.c_str());
        return zb::RemoveFile(path);  // FILE_NOT_FOUND
    };
    EXPECT_EQ(zb::RemoveEarlierResult(file.string(), takenMeanwhile), zb::EarlierResult::None);
    EXPECT_FALSE(fs::exists(file));
}
