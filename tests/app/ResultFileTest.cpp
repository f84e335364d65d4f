// "status.dat": exact content, whole replacement, and folders that refuse new files.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "PtyPair.h"
#include "ResultFile.h"

namespace zb {
namespace {

using test::readFile;
using test::TempWorkDir;

// The user that the tests fall back to when they run as root, for whom folder
// permissions do not apply.
constexpr uid_t kNobody = 65534;

std::string readFd(int fd) {
    std::string content;
    char buffer[256];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) content.append(buffer, static_cast<std::size_t>(n));
    return content;
}

// Runs `body` with the permissions of an ordinary user: in a child process that
// gives up root first when the tests run as root. Returns the child's exit code.
int asOrdinaryUser(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(99);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ResultFile, HoldsExactlyTheTextWithoutLineEnd) {
    TempWorkDir dir;
    ASSERT_TRUE(WriteResultFile("status.dat", "OK"));
    EXPECT_EQ(readFile("status.dat"), "OK");
    EXPECT_EQ(std::filesystem::file_size("status.dat"), 2u);
}

TEST(ResultFile, SecondReportReplacesTheFirstCompletely) {
    TempWorkDir dir;
    ASSERT_TRUE(WriteResultFile("status.dat", "I can't find the bootloader"));
    ASSERT_TRUE(WriteResultFile("status.dat", "OK"));
    EXPECT_EQ(readFile("status.dat"), "OK");
    ASSERT_TRUE(WriteResultFile("status.dat", "Error during writing"));
    EXPECT_EQ(readFile("status.dat"), "Error during writing");
}

TEST(ResultFile, EightBitTextIsStoredByteForByte) {
    TempWorkDir dir;
    const std::string text("a\xE4\xFF\x01z", 5);
    ASSERT_TRUE(WriteResultFile("status.dat", text));
    EXPECT_EQ(readFile("status.dat"), text);
}

TEST(ResultFile, ReplacesTheFileInsteadOfRewritingIt) {
    // A reader that has the old file open keeps reading the whole old text: the
    // new one arrives as a new file, never as a truncated or half-written old one.
    TempWorkDir dir;
    ASSERT_TRUE(WriteResultFile("status.dat", "Error during erasing"));
    const int reader = ::open("status.dat", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(WriteResultFile("status.dat", "OK"));
    EXPECT_EQ(readFd(reader), "Error during erasing");
    EXPECT_EQ(readFile("status.dat"), "OK");
    ::close(reader);
    // Nothing but the result file is left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(ResultFile, NewFileIsReadableByTheCallerLikeAnyOtherFile) {
    // The temporary file must not leave the result readable by its owner only.
    TempWorkDir dir;
    const mode_t mask = ::umask(022);
    ASSERT_TRUE(WriteResultFile("status.dat", "OK"));
    ::umask(mask);
    struct stat info {};
    ASSERT_EQ(::stat("status.dat", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(ResultFile, ReadOnlyFolderWithWritableFileIsWrittenInPlace) {
    TempWorkDir dir;
    ASSERT_TRUE(WriteResultFile("status.dat", "No parameter, and a longer old text"));
    ::chmod("status.dat", 0666);
    ::chmod(dir.path().c_str(), 0555);
    const int code = asOrdinaryUser([] { return WriteResultFile("status.dat", "OK") ? 0 : 1; });
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(readFile("status.dat"), "OK");
}

TEST(ResultFile, ReadOnlyFolderWithoutFileLosesTheReportQuietly) {
    TempWorkDir dir;
    ::chmod(dir.path().c_str(), 0555);
    const int code = asOrdinaryUser([] { return WriteResultFile("status.dat", "OK") ? 0 : 1; });
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(code, 1);
    EXPECT_FALSE(std::filesystem::exists("status.dat"));
}

TEST(ResultFile, ReadOnlyFileIsLeftAlone) {
    // A caller that made its result file read-only gets no report, as with a plain
    // write, although the folder would allow a replacement.
    TempWorkDir dir;
    ASSERT_TRUE(WriteResultFile("status.dat", "old"));
    ::chmod("status.dat", 0444);
    ::chmod(dir.path().c_str(), 0777);
    const int code = asOrdinaryUser([] { return WriteResultFile("status.dat", "OK") ? 0 : 1; });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(readFile("status.dat"), "old");
}

// An earlier run's "OK" in the folder (the tests' own file, so not the ordinary
// user's), with the given modes of the folder and the file; what clearing it gave.
EarlierResult clearedAsOrdinaryUser(const TempWorkDir& dir, mode_t folderMode, mode_t fileMode) {
    ::chmod(dir.path().c_str(), 0755);
    std::filesystem::remove("status.dat");
    EXPECT_TRUE(WriteResultFile("status.dat", "OK"));
    ::chmod("status.dat", fileMode);
    ::chmod(dir.path().c_str(), folderMode);
    const int code = asOrdinaryUser([] { return static_cast<int>(RemoveEarlierResult("status.dat")); });
    ::chmod(dir.path().c_str(), 0755);
    return static_cast<EarlierResult>(code);
}

TEST(ResultFile, EarlierResultIsRemovedOrEmptiedWhereverThatCanBeDone) {
    TempWorkDir dir;
    // Read-only, in a folder that allows removing it: removed (unlink asks the folder).
    EXPECT_EQ(clearedAsOrdinaryUser(dir, 0777, 0444), EarlierResult::None);
    EXPECT_FALSE(std::filesystem::exists("status.dat"));
    // A folder that refuses: the writable file is emptied, the report goes in place.
    EXPECT_EQ(clearedAsOrdinaryUser(dir, 0555, 0666), EarlierResult::Emptied);
    EXPECT_EQ(readFile("status.dat"), "");
    EXPECT_EQ(asOrdinaryUser([] { return WriteResultFile("status.dat", "Error during writing") ? 0 : 1; }), 0);
    EXPECT_EQ(readFile("status.dat"), "Error during writing");
    // A sticky folder such as /tmp and someone else's writable file: emptied too.
    EXPECT_EQ(clearedAsOrdinaryUser(dir, 01777, 0666), EarlierResult::Emptied);
    EXPECT_EQ(readFile("status.dat"), "");
    // Neither removable nor writable: it stands, untouched, and the caller must know.
    EXPECT_EQ(clearedAsOrdinaryUser(dir, 0555, 0444), EarlierResult::Stands);
    EXPECT_EQ(readFile("status.dat"), "OK");
    EXPECT_EQ(clearedAsOrdinaryUser(dir, 01777, 0644), EarlierResult::Stands);
    EXPECT_EQ(readFile("status.dat"), "OK");
    // Anything but a regular file of that name is not a result: left alone.
    ::chmod("status.dat", 0644);
    std::filesystem::remove("status.dat");
    std::filesystem::create_directory("status.dat");
    EXPECT_EQ(RemoveEarlierResult("status.dat"), EarlierResult::None);
    EXPECT_TRUE(std::filesystem::is_directory("status.dat"));
}

TEST(ResultFile, EarlierResultThatIsASymbolicLinkGoesAndItsTargetStays) {
    // Left in place, the link would show the earlier "OK" until a report replaced
    // it, and a run killed before that would leave it readable.
    TempWorkDir dir;
    std::filesystem::create_directory("elsewhere");
    ASSERT_TRUE(WriteResultFile("elsewhere/kept.dat", "OK"));
    std::filesystem::create_symlink("elsewhere/kept.dat", "status.dat");
    EXPECT_EQ(RemoveEarlierResult("status.dat"), EarlierResult::None);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status("status.dat")));
    EXPECT_EQ(readFile("elsewhere/kept.dat"), "OK");
    // A dangling one goes as well.
    std::filesystem::create_symlink("elsewhere/none.dat", "status.dat");
    EXPECT_EQ(RemoveEarlierResult("status.dat"), EarlierResult::None);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status("status.dat")));
    // A folder that refuses the removal: the link stands, and nothing is written
    // through it into a file that is not ours.
    std::filesystem::create_symlink("elsewhere/kept.dat", "status.dat");
    ::chmod("elsewhere", 0777);
    ::chmod("elsewhere/kept.dat", 0666);
    ::chmod(dir.path().c_str(), 0555);
    const int code = asOrdinaryUser([] { return static_cast<int>(RemoveEarlierResult("status.dat")); });
    ::chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(static_cast<EarlierResult>(code), EarlierResult::Stands);
    EXPECT_EQ(readFile("elsewhere/kept.dat"), "OK");
}

TEST(ResultFile, EarlierResultThatVanishesBeforeItsRemovalCountsAsRemoved) {
    // Another program (a caller clearing up, say) takes the file between the look at
    // it and the removal.
    TempWorkDir dir;
    ASSERT_TRUE(WriteResultFile("status.dat", "OK"));
    int removals = 0;
    const auto takenMeanwhile = [&removals](const std::string& path) {
        ++removals;
        std::filesystem::remove(path);
        return RemoveFile(path);
    };
    EXPECT_EQ(RemoveEarlierResult("status.dat", takenMeanwhile), EarlierResult::None);
    EXPECT_EQ(removals, 1);
    EXPECT_FALSE(std::filesystem::exists("status.dat"));
}

}  // namespace
}  // namespace zb
