#include "checks/tree_verifier.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "errors/tessela_error.h"
#include "files/file_walk.h"
#include "files/metadata_snapshot.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;
using testing::writeFile;
using Mismatches = std::vector<TreeMismatch>;

void makeSocket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.string().size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

class TreeVerifierTest : public ::testing::Test {
  protected:
    // Two identical trees: a nested folder, an empty file, a link, a non-ASCII name.
    void SetUp() override {
        for (const fs::path& root : {source, copy}) {
            writeFile(root / "a.txt", "alpha");
            writeFile(root / "sub/b.txt", "beta");
            writeFile(root / "sub/empty", "");
            writeFile(root / "Fotos ü/c.jpg", "gamma");
            fs::create_symlink("sub/b.txt", root / "link");
        }
    }

    Mismatches compareTrees(const std::set<std::string>& ignoring = {}) {
        return TreeVerifier::compare(source, copy, ignoring);
    }

    TempFolder temp;
    fs::path source = temp / "source";
    fs::path copy = temp / "copy";
};

TEST_F(TreeVerifierTest, IdenticalTreesAgree) {
    EXPECT_EQ(compareTrees(), Mismatches{});
}

TEST_F(TreeVerifierTest, ListsEveryDifferenceInPathOrder) {
    writeFile(copy / "a.txt", "alphA");             // same size, last byte differs
    writeFile(copy / "sub/b.txt", "beta, longer");  // size differs
    fs::remove(copy / "Fotos ü/c.jpg");
    writeFile(copy / "extra", "");
    fs::remove(copy / "link");
    fs::create_symlink(source / "sub/b.txt", copy / "link");  // same file, other target
    EXPECT_EQ(compareTrees(), (Mismatches{{"Fotos ü/c.jpg", TreeMismatch::missingFromCopy},
                                          {"a.txt", TreeMismatch::contentDiffers},
                                          {"extra", TreeMismatch::extraInCopy},
                                          {"link", TreeMismatch::linkTargetDiffers},
                                          {"sub/b.txt", TreeMismatch::sizeDiffers}}));
}

TEST_F(TreeVerifierTest, FileReplacedByLinkIsTypeDifference) {
    fs::remove(copy / "a.txt");
    fs::create_symlink("sub/b.txt", copy / "a.txt");
    EXPECT_EQ(compareTrees(), (Mismatches{{"a.txt", TreeMismatch::typeDiffers}}));
}

TEST_F(TreeVerifierTest, TwoSocketsAgreeButSocketAndFileDoNot) {
    makeSocket(source / "s");
    makeSocket(copy / "s");
    EXPECT_EQ(compareTrees(), Mismatches{});
    ::mkfifo((source / "f").c_str(), 0600);
    makeSocket(copy / "f");
    EXPECT_EQ(compareTrees(), (Mismatches{{"f", TreeMismatch::typeDiffers}}));
}

TEST_F(TreeVerifierTest, IgnoredNamesCountOnlyAtTheRoot) {
    writeFile(copy / ".DS_Store", "x");
    writeFile(copy / ".metadata_never_index", "");
    writeFile(copy / "sub/.DS_Store", "y");
    EXPECT_EQ(compareTrees({".DS_Store", ".metadata_never_index"}),
              (Mismatches{{"sub/.DS_Store", TreeMismatch::extraInCopy}}));
}

TEST_F(TreeVerifierTest, SingleFilesGiveAtMostOneMismatchForTheItem) {
    writeFile(temp / "one.pdf", "1234");
    writeFile(temp / "two.pdf", "1235");
    const Mismatches mismatches = TreeVerifier::compare(temp / "one.pdf", temp / "two.pdf", {});
    ASSERT_EQ(mismatches, (Mismatches{{"", TreeMismatch::contentDiffers}}));
    EXPECT_EQ(mismatches[0].description(), "(item): content differs");
    EXPECT_EQ(TreeVerifier::compare(temp / "one.pdf", temp / "one.pdf", {}), Mismatches{});
}

TEST_F(TreeVerifierTest, UnreadableSubfolderFailsInsteadOfComparing) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root reads unreadable folders";
    }
    ::chmod((copy / "sub").c_str(), 0300);  // search but no read
    try {
        (void)compareTrees();
        ADD_FAILURE() << "an unreadable folder was compared";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error, TesselaError::copyFailed("Could not read sub"));
        EXPECT_EQ(error.errorDescription(), "Copying failed: Could not read sub");
    }
    ::chmod((copy / "sub").c_str(), 0600);  // read but no search
    EXPECT_THROW((void)compareTrees(), TesselaError);
}

TEST_F(TreeVerifierTest, CancelledTokenStopsBothSides) {
    CancelToken token;
    token.cancel();
    EXPECT_THROW((void)TreeVerifier::compare(source, copy, {}, &token), TesselaError);
    // A file item is one read, large ones in parallel ranges: the cancel reaches into it too.
    writeFile(temp / "large", std::string(16 * TreeVerifier::readSize, 'x'));
    EXPECT_THROW((void)TreeVerifier::compare(TreeVerifier::manifest(temp / "large", {}),
                                             temp / "large", {}, &token),
                 TesselaError);
}

TEST_F(TreeVerifierTest, DigestIsLowerCaseSha256) {
    writeFile(temp / "abc", "abc");
    EXPECT_EQ(TreeVerifier::digest(temp / "abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_THROW((void)TreeVerifier::digest(temp / "missing"), std::system_error);
}

TEST_F(TreeVerifierTest, WalkIgnoresTrailingSlashesAndSkipsOnRequest) {
    const auto paths = FileWalk::relativePaths(source);
    EXPECT_EQ(FileWalk::relativePaths(source.string() + "//"), paths);
    EXPECT_EQ(paths.size(), 7U);
    std::vector<std::string> visited;
    FileWalk::walk(source, [&](const FileWalk::Entry& entry) {
        visited.emplace_back(entry.name());
        return entry.isDirectory ? FileWalk::Next::skipDescendants : FileWalk::Next::descend;
    });
    std::sort(visited.begin(), visited.end());
    EXPECT_EQ(visited, (std::vector<std::string>{"Fotos ü", "a.txt", "link", "sub"}));
    EXPECT_TRUE(FileWalk::relativePaths(source / "link").empty());
    EXPECT_TRUE(FileWalk::relativePaths(source / "a.txt").empty());
}

TEST_F(TreeVerifierTest, WalkOfMissingRootThrowsNamedWalkError) {
    try {
        (void)FileWalk::relativePaths(temp / "gone");
        ADD_FAILURE() << "walked a missing root";
    } catch (const FileWalk::WalkError& error) {
        EXPECT_EQ(error.code(), ENOENT);
        EXPECT_EQ(error.description(), "Could not read gone.");
    }
}

TEST_F(TreeVerifierTest, NamesThatAreNotUtf8AreComparedByTheirBytes) {
    writeFile(source / "caf\xE9/r\xE9sum\xE9.txt", "one");
    writeFile(copy / "caf\xE9/r\xE9sum\xE9.txt", "one");
    const auto paths = FileWalk::relativePaths(source);
    EXPECT_NE(std::find(paths.begin(), paths.end(), "caf\xE9/r\xE9sum\xE9.txt"), paths.end());
    EXPECT_EQ(compareTrees(), Mismatches{});
    EXPECT_EQ(metadataSnapshot(source).count("caf\xE9/r\xE9sum\xE9.txt"), 1U);

    // A name that differs only in how it is not UTF-8 is another name; shown, it is repaired.
    writeFile(copy / "caf\xE9/r\xE9sum\xE9.txt", "two");
    fs::rename(copy / "caf\xE9/r\xE9sum\xE9.txt", copy / "caf\xE9/r\xEAsum\xE9.txt");
    const Mismatches mismatches = compareTrees();
    ASSERT_EQ(mismatches.size(), 2U);
    EXPECT_EQ(mismatches[0].path, "caf\xE9/r\xE9sum\xE9.txt");
    EXPECT_EQ(mismatches[0].description(), "caf\uFFFD/r\uFFFDsum\uFFFD.txt: missing from copy");
}

TEST_F(TreeVerifierTest, SnapshotsNoticeEveryChangeEvenWithTheOldTimeRestored) {
    const MetadataSnapshot before = metadataSnapshot(source);
    EXPECT_EQ(before.size(), 8U);
    EXPECT_EQ(metadataSnapshot(source), before);

    // A rewrite in place that keeps the size and puts the old modification time back, as
    // rsync --inplace does, still changes the status-change time.
    const fs::file_time_type time = fs::last_write_time(source / "a.txt");
    writeFile(source / "a.txt", "ALPHA");
    fs::last_write_time(source / "a.txt", time);
    EXPECT_NE(metadataSnapshot(source), before);

    // A file replaced by another of the same name, size and times is another inode.
    const MetadataSnapshot rewritten = metadataSnapshot(source);
    writeFile(source / "sub/b2.txt", "beta");
    fs::rename(source / "sub/b2.txt", source / "sub/b.txt");
    EXPECT_NE(metadataSnapshot(source).at("sub/b.txt").inode, rewritten.at("sub/b.txt").inode);

    writeFile(source / "sub/new", "");
    EXPECT_NE(metadataSnapshot(source), before);
}

}  // namespace
}  // namespace tessela
