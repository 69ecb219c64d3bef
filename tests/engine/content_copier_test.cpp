// The copier held to cp -a: the same torture tree copied by both, then every entry of the two
// copies compared field by field (status, extended attributes and ACLs, hole maps), and the
// manifest it returns compared with the verifier's own reading of the source.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <thread>

#include "container/container_keys.h"
#include "engine/content_copier.h"
#include "errors/tessela_error.h"
#include "files/file_walk.h"
#include "posix/unique_fd.h"
#include "process/process_runner.h"
#include "support/fuse_fixture.h"
#include "support/sealed_files.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::putSealedBlock;
using testing::readFile;
using testing::sealedBlock;
using testing::swapTweaks;
using testing::writeFile;

constexpr std::int64_t mebibyte = 1024 * 1024;

void setTimes(const fs::path& path, std::int64_t seconds, long nanoseconds) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds + 3600, nanoseconds / 2 + 1}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// The data extents of a file, as SEEK_DATA/SEEK_HOLE give them.
std::vector<std::pair<off_t, off_t>> holeMap(const fs::path& file) {
    std::vector<std::pair<off_t, off_t>> extents;
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    for (off_t data = ::lseek(fd.get(), 0, SEEK_DATA); data >= 0;) {
        const off_t hole = ::lseek(fd.get(), data, SEEK_HOLE);
        extents.emplace_back(data, hole);
        data = ::lseek(fd.get(), hole, SEEK_DATA);
    }
    return extents;
}

std::map<std::string, std::string> attributesOf(const fs::path& path) {
    std::map<std::string, std::string> attributes;
    std::string names(65536, '\0');
    const ssize_t length = ::llistxattr(path.c_str(), names.data(), names.size());
    for (std::size_t start = 0; length > 0 && start < static_cast<std::size_t>(length);) {
        const std::string name = names.c_str() + start;
        start += name.size() + 1;
        std::string value(65536, '\0');
        const ssize_t size = ::lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        value.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
        attributes[name] = value;
    }
    return attributes;
}

// Everything of one entry that a full-fidelity copy keeps, as comparable text. Access times of
// folders are left out (listing a folder sets them), and everyone's where the file system does
// not keep them.
std::string describe(const fs::path& path, bool accessTimes = true) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return "missing";
    }
    std::string text =
        "mode " + std::to_string(info.st_mode) + " owner " + std::to_string(info.st_uid) + ":" +
        std::to_string(info.st_gid) + " links " + std::to_string(info.st_nlink) + " modified " +
        std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
    if (!S_ISDIR(info.st_mode)) {
        text += " size " + std::to_string(info.st_size);
    }
    if (!S_ISDIR(info.st_mode) && accessTimes) {
        text += " accessed " + std::to_string(info.st_atim.tv_sec) + "." +
                std::to_string(info.st_atim.tv_nsec);
    }
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) {
        text += " device " + std::to_string(info.st_rdev);
    }
    if (S_ISLNK(info.st_mode)) {
        text += " target " + fs::read_symlink(path).string();
    }
    if (S_ISREG(info.st_mode)) {
        for (const auto& [start, end] : holeMap(path)) {
            text += " data " + std::to_string(start) + "-" + std::to_string(end);
        }
    }
    for (const auto& [name, value] : attributesOf(path)) {
        text += " xattr " + name + "=" + std::to_string(std::hash<std::string>{}(value));
    }
    return text;
}

// Relative path → description, for every entry below `root`.
std::map<std::string, std::string> describeTree(const fs::path& root, bool accessTimes = true) {
    std::map<std::string, std::string> tree;
    for (const std::string& relative : FileWalk::relativePaths(root)) {
        tree[relative] = describe(root / relative, accessTimes);
    }
    return tree;
}

// Access and modification times of every entry, to put back after a copy read them.
std::map<std::string, std::pair<timespec, timespec>> timesOf(const fs::path& root) {
    std::map<std::string, std::pair<timespec, timespec>> times;
    FileWalk::walk(root, [&](const FileWalk::Entry& entry) {
        times[entry.relativePath] = {entry.info.st_atim, entry.info.st_mtim};
        return FileWalk::Next::descend;
    });
    struct stat info {};
    ::lstat(root.c_str(), &info);
    times[""] = {info.st_atim, info.st_mtim};
    return times;
}

void putBack(const fs::path& root,
             const std::map<std::string, std::pair<timespec, timespec>>& times) {
    for (auto entry = times.rbegin(); entry != times.rend(); ++entry) {
        const timespec both[2] = {entry->second.first, entry->second.second};
        ::utimensat(AT_FDCWD, (root / entry->first).c_str(), both, AT_SYMLINK_NOFOLLOW);
    }
}

// A POSIX access ACL granting `uid` read access, as the system.posix_acl_access attribute holds it.
std::string accessControlList(uid_t uid) {
    std::string value;
    const auto add = [&](std::uint16_t tag, std::uint16_t permissions, std::uint32_t id) {
        value.append(reinterpret_cast<const char*>(&tag), 2);
        value.append(reinterpret_cast<const char*>(&permissions), 2);
        value.append(reinterpret_cast<const char*>(&id), 4);
    };
    const std::uint32_t version = 2;
    value.append(reinterpret_cast<const char*>(&version), 4);
    add(0x01, 6, ~0U);  // owner
    add(0x02, 4, uid);  // a named user
    add(0x04, 4, ~0U);  // group
    add(0x10, 4, ~0U);  // mask
    add(0x20, 0, ~0U);  // others
    return value;
}

class ContentCopierTest : public ::testing::Test {
  protected:
    // cp -a's copy of `source` at `destination`.
    static void copyWithCp(const fs::path& source, const fs::path& destination) {
        const ProcessResult result =
            ProcessRunner::run("/usr/bin/cp", {"-a", "--", source.string(), destination.string()});
        ASSERT_EQ(result.status, 0) << result.output;
    }

    // Ours: a folder's entries into a new folder, a file to a new name.
    TreeVerifier::Manifest copyWithUs(const fs::path& source, const fs::path& destination,
                                      const ContentCopier::Options& options = {}) {
        if (fs::is_directory(fs::symlink_status(source))) {
            fs::create_directory(destination);
            return copier.copyInto(source, Folder::open(destination), "", options);
        }
        return copier.copyInto(source, Folder::open(destination.parent_path()),
                               destination.filename().string(), options);
    }

    // Both copies of `source`, then every entry compared; the manifest must be the verifier's.
    void expectSameAsCp(const fs::path& source, const fs::path& ours, const fs::path& theirs) {
        const auto times = timesOf(source);
        ASSERT_NO_FATAL_FAILURE(copyWithCp(source, theirs));
        putBack(source, times);
        const TreeVerifier::Manifest manifest = copyWithUs(source, ours);
        const auto expected = describeTree(theirs);
        const auto actual = describeTree(ours);
        EXPECT_EQ(actual.size(), expected.size());
        for (const auto& [relative, description] : expected) {
            const auto found = actual.find(relative);
            EXPECT_EQ(found == actual.end() ? "missing" : found->second, description) << relative;
        }
        EXPECT_EQ(describe(ours), describe(theirs)) << "the root";
        EXPECT_EQ(manifest, TreeVerifier::manifest(source, {}));
    }

    testing::TempFolder temp;
    ContentCopier copier{FileSystem::real()};
};

TEST_F(ContentCopierTest, TortureTreeCopiesAsCpCopiesIt) {
    const fs::path source = temp / "src";
    const std::int64_t past = 1'600'000'000;
    writeFile(source / "plain.txt", "plain");
    // A sparse 1 GiB file with three islands of data.
    {
        const UniqueFd fd(::open((source / "sparse.bin").c_str(), O_WRONLY | O_CREAT, 0644));
        for (const off_t at :
             {off_t{0}, off_t{300} * mebibyte + 4096, off_t{1024} * mebibyte - 8192}) {
            ASSERT_EQ(::pwrite(fd.get(), "island", 6, at), 6);
        }
        ASSERT_EQ(::ftruncate(fd.get(), off_t{1024} * mebibyte), 0);
    }
    writeFile(source / "multi-block.bin", std::string(3 * mebibyte + 17, 'm'));
    fs::create_directories(source / "set-gid folder/inner");
    writeFile(source / "set-gid folder/inner/file", "x");
    ::chmod((source / "set-gid folder").c_str(), 02775);
    writeFile(source / "set-uid program", "#!/bin/sh\n");
    ::chmod((source / "set-uid program").c_str(), 04755);
    fs::create_directories(source / "read-only folder");
    writeFile(source / "read-only folder/kept.txt", "kept");
    ::chmod((source / "read-only folder/kept.txt").c_str(), 0400);
    ::chmod((source / "read-only folder").c_str(), 0555);
    fs::create_symlink("plain.txt", source / "link");
    fs::create_symlink("/nowhere/at/all", source / "dangling link");
    ASSERT_EQ(::mkfifo((source / "fifo").c_str(), 0640), 0);
    {
        const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string socketPath = (source / "socket").string();
        ASSERT_LT(socketPath.size(), sizeof address.sun_path);
        std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
        ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    writeFile(source / "line\nbreak", "newline");
    writeFile(source / "invalid \xff\xfe utf-8/\x80.txt", "bytes");
    fs::create_hard_link(source / "plain.txt", source / "hard link");
    fs::create_directories(source / "many");
    for (int index = 0; index < 10'000; ++index) {
        writeFile(source / "many" / std::to_string(index), "");
    }
    // A path of 4095 bytes, the longest the system takes.
    fs::path deep = source;
    while (deep.string().size() + 256 < 4095) {
        deep /= std::string(200, 'd');
    }
    fs::create_directories(deep);
    const fs::path longest = deep / std::string(4095 - deep.string().size() - 1, 'f');
    ASSERT_EQ(longest.string().size(), 4095U);
    writeFile(longest, "far down");

    // Extended attributes where this file system and this user allow them.
    const bool userAttributes =
        ::setxattr((source / "plain.txt").c_str(), "user.colour", "blue", 4, 0) == 0;
    if (userAttributes) {
        ASSERT_EQ(::setxattr((source / "set-gid folder").c_str(), "user.tag", "", 0, 0), 0);
    }
    const std::string acl = accessControlList(::getuid());
    const bool acls = ::setxattr((source / "multi-block.bin").c_str(), "system.posix_acl_access",
                                 acl.data(), acl.size(), 0) == 0;
    const bool securityAttributes =
        ::lsetxattr((source / "link").c_str(), "security.test", "s", 1, 0) == 0;
    std::cout << "user attributes " << userAttributes << ", ACLs " << acls
              << ", security attributes " << securityAttributes << "\n";
    if (testing::runningAsRoot()) {
        ASSERT_EQ(::mknod((source / "device").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
        ASSERT_EQ(::lchown((source / "plain.txt").c_str(), 65534, 65534), 0);
    }

    // Times to the nanosecond, set last: making entries inside changes a folder's.
    for (const std::string& relative : FileWalk::relativePaths(source)) {
        setTimes(source / relative, past, 123'456'789);
    }
    setTimes(source, past, 987'654'321);

    // Copies at paths as long as the source's, so the longest path fits there too.
    expectSameAsCp(source, temp / "our", temp / "cpa");
    EXPECT_EQ(holeMap(temp / "our/sparse.bin").size(), 3U);
    EXPECT_EQ(readFile(temp / "our/read-only folder/kept.txt"), "kept");
}

TEST_F(ContentCopierTest, FileRootAndSkippedNamesAndProgress) {
    writeFile(temp / "Report.pdf", std::string(5 * mebibyte / 2, 'r'));
    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    ContentCopier::Options options;
    options.progress = [&](std::int64_t done, std::int64_t total) {
        reports.emplace_back(done, total);
    };
    fs::create_directory(temp / "into");
    const TreeVerifier::Manifest manifest =
        copier.copyInto(temp / "Report.pdf", Folder::open(temp / "into"), "Copy.pdf", options);
    EXPECT_EQ(manifest, TreeVerifier::manifest(temp / "Report.pdf", {}));
    EXPECT_EQ(readFile(temp / "into/Copy.pdf"), readFile(temp / "Report.pdf"));
    ASSERT_GE(reports.size(), 2U);
    using Report = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(reports.front(), Report(0, 5 * mebibyte / 2));
    EXPECT_EQ(reports.back(), Report(5 * mebibyte / 2, 5 * mebibyte / 2));

    writeFile(temp / "tree/keep", "k");
    writeFile(temp / "tree/.skip/inner", "s");
    fs::create_directory(temp / "tree copy");
    options = {};
    options.skipping = {".skip"};
    options.rootMode = 0700;
    ::chmod((temp / "tree").c_str(), 0755);
    const TreeVerifier::Manifest tree =
        copier.copyInto(temp / "tree", Folder::open(temp / "tree copy"), "", options);
    EXPECT_EQ(tree, TreeVerifier::manifest(temp / "tree", {".skip"}));
    EXPECT_EQ(testing::namesIn(temp / "tree copy"), std::vector<std::string>{"keep"});
    EXPECT_EQ(testing::permissions(temp / "tree copy"), 0700U);
}

TEST_F(ContentCopierTest, FileChangedAfterTheWalkHasNoDigestAndFailsVerification) {
    writeFile(temp / "tree/stable", "stable");
    writeFile(temp / "tree/shrinks", std::string(3 * mebibyte, 's'));
    writeFile(temp / "tree/grows", "grows");
    ContentCopier::Options options;
    bool changed = false;
    options.progress = [&](std::int64_t, std::int64_t) {
        // The first report comes after the walk, before any content is read.
        if (!changed) {
            changed = true;
            ::truncate((temp / "tree/shrinks").c_str(), mebibyte);
            std::ofstream(temp / "tree/grows", std::ios::app) << "more";
        }
    };
    const TreeVerifier::Manifest manifest = copyWithUs(temp / "tree", temp / "copy", options);
    EXPECT_EQ(std::get<TreeVerifier::File>(manifest.at("shrinks")).digest, "");
    EXPECT_EQ(std::get<TreeVerifier::File>(manifest.at("grows")).digest, "");
    EXPECT_EQ(std::get<TreeVerifier::File>(manifest.at("stable")).digest.size(), 64U);
    EXPECT_EQ(TreeVerifier::compare(manifest, temp / "copy", {}),
              (std::vector<TreeMismatch>{{"grows", TreeMismatch::contentDiffers},
                                         {"shrinks", TreeMismatch::contentDiffers}}));
}

TEST_F(ContentCopierTest, FailuresNameTheEntryAndTheReason) {
    // A device node where this user may not make one fails as cp -a fails.
    if (!testing::runningAsRoot()) {
        fs::create_directory(temp / "device copy");
        // Copying /dev/null itself is copying a device node.
        try {
            (void)copier.copyInto("/dev/null", Folder::open(temp / "device copy"), "null", {});
            ADD_FAILURE() << "a device node was made without the right to";
        } catch (const TesselaError& error) {
            EXPECT_EQ(error, TesselaError::copyFailed("null could not be created (Operation not "
                                                      "permitted)."));
        }
        EXPECT_NE(
            ProcessRunner::run("/usr/bin/cp", {"-a", "/dev/null", (temp / "cp-null").string()})
                .status,
            0);
    }
    // A folder swapped for a link after the walk is never followed.
    writeFile(temp / "tree/sub/file", "inside");
    writeFile(temp / "elsewhere/file", "outside");
    ContentCopier::Options options;
    bool swapped = false;
    options.progress = [&](std::int64_t, std::int64_t) {
        if (!swapped) {
            swapped = true;
            fs::rename(temp / "tree/sub", temp / "moved");
            fs::create_directory_symlink(temp / "elsewhere", temp / "tree/sub");
        }
    };
    try {
        (void)copyWithUs(temp / "tree", temp / "copy", options);
        ADD_FAILURE() << "the copy followed a link";
    } catch (const TesselaError& error) {
        // Refused on the way (a link where a folder was), in whichever words the kernel has.
        EXPECT_TRUE(error.errorDescription().starts_with("Copying failed: sub/file could not be "))
            << error.errorDescription();
    }
    // Cancelled once the copy has begun.
    CancelToken cancel;
    writeFile(temp / "big", std::string(8 * mebibyte, 'b'));
    options = {};
    options.cancel = &cancel;
    options.progress = [&](std::int64_t, std::int64_t) { cancel.cancel(); };
    try {
        (void)copyWithUs(temp / "big", temp / "big copy", options);
        ADD_FAILURE() << "the cancelled copy went on";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error, TesselaError::cancelled());
    }
}

// Into a real container, as the lock copies: what gocryptfs keeps, it keeps as cp -a does.
class ContentCopierIntoContainerTest : public testing::FuseTest {
  protected:
    ContentCopier copier{FileSystem::real()};
};

TEST_F(ContentCopierIntoContainerTest, CopyInAndBackOutMatchesCp) {
    const fs::path source = temp / "src";
    writeFile(source / "a.txt", "alpha");
    writeFile(source / "blocks.bin", std::string(5 * mebibyte + 3, 'z'));
    fs::create_symlink("a.txt", source / "link");
    ::setxattr((source / "a.txt").c_str(), "user.colour", "blue", 4, 0);
    for (const std::string& relative : FileWalk::relativePaths(source)) {
        setTimes(source / relative, 1'600'000'000, 5);
    }
    const fs::path image = createImage("Copy");
    const fs::path mountPoint = makeMountPoint("mount");
    tool.attach(image, mountPoint, password, false);
    fs::create_directory(mountPoint / "ours");
    const TreeVerifier::Manifest in =
        copier.copyInto(source, Folder::open(mountPoint / "ours"), "", {});
    ASSERT_EQ(ProcessRunner::run("/usr/bin/cp",
                                 {"-a", "--", source.string(), (mountPoint / "theirs").string()})
                  .status,
              0);
    EXPECT_EQ(TreeVerifier::compare(in, mountPoint / "ours", {}), std::vector<TreeMismatch>{});
    // The container does not keep access times.
    EXPECT_EQ(describeTree(mountPoint / "ours", false), describeTree(mountPoint / "theirs", false));

    fs::create_directory(temp / "out");
    const TreeVerifier::Manifest out =
        copier.copyInto(mountPoint / "ours", Folder::open(temp / "out"), "", {});
    EXPECT_EQ(out, in);
    EXPECT_EQ(TreeVerifier::compare(out, temp / "out", {}), std::vector<TreeMismatch>{});
    tool.detach(mountPoint, false);
}

// Written into the container's own folder with its keys, the copy reads through a read-only
// mount as the same copy written through a writable mount does: names long, odd and not UTF-8,
// content in several parallel chunks, exact block sizes, holes, links, FIFOs, attributes, modes,
// times.
TEST_F(ContentCopierIntoContainerTest, WrittenDirectlyReadsAsTheMountsOwnCopy) {
    const fs::path source = temp / "src";
    writeFile(source / "empty", "");
    writeFile(source / "exactly a block", std::string(4096, 'a'));
    writeFile(source / "one past a block", std::string(4097, 'b'));
    std::string random(5 * mebibyte + 3, '\0');
    for (std::size_t index = 0; index < random.size(); ++index) {
        random[index] = static_cast<char>((index * 7919 + index / 4096) & 0xFF);
    }
    writeFile(source / "chunks.bin", random);
    {
        const UniqueFd fd(::open((source / "sparse.bin").c_str(), O_WRONLY | O_CREAT, 0644));
        ASSERT_EQ(::pwrite(fd.get(), "island", 6, 3 * mebibyte + 100), 6);
        ASSERT_EQ(::ftruncate(fd.get(), 8 * mebibyte + 5), 0);
    }
    writeFile(source / std::string(250, 'L'), "a long name");
    writeFile(source / "invalid \xff\xfe utf-8/\x80.txt", "bytes");
    fs::create_directories(source / "read-only folder/deeper");
    writeFile(source / "read-only folder/deeper/kept.txt", "kept");
    ::chmod((source / "read-only folder/deeper/kept.txt").c_str(), 0400);
    ::chmod((source / "read-only folder").c_str(), 0555);
    fs::create_symlink("../a target", source / "link");
    ASSERT_EQ(::mkfifo((source / "fifo").c_str(), 0640), 0);
    ::setxattr((source / "exactly a block").c_str(), "user.colour", "blue", 4, 0);
    ::setxattr(source.c_str(), "user.root", "r", 1, 0);
    // Sealed, each one-letter name takes 22 bytes: this path is longer than the system opens at
    // once in the container.
    fs::path deep = source;
    for (int depth = 0; depth < 200; ++depth) {
        deep /= "d";
    }
    writeFile(deep / "bottom", "far down");
    for (const std::string& relative : FileWalk::relativePaths(source)) {
        setTimes(source / relative, 1'600'000'000, 5);
    }
    setTimes(source, 1'600'000'000, 7);

    const fs::path image = createImage("Direct");
    const TreeVerifier::Manifest in = [&] {
        const ContainerKeys keys = ContainerKeys::unlock(Folder::open(image), password);
        ContentCopier::Options options;
        options.container = &keys;
        return copier.copyInto(source, Folder::open(image), "", options);
    }();
    const fs::path theirs = createImage("Theirs");
    const fs::path theirMount = makeMountPoint("theirs");
    tool.attach(theirs, theirMount, password, false);
    // The same copy through a writable mount, as the lock wrote before (held to cp -a above).
    (void)copier.copyInto(source, Folder::open(theirMount), "", {});
    const fs::path ours = makeMountPoint("ours");
    tool.attach(image, ours, password, true);
    EXPECT_EQ(TreeVerifier::compare(in, ours, {}), std::vector<TreeMismatch>{});
    EXPECT_EQ(describeTree(ours, false), describeTree(theirMount, false));
    EXPECT_EQ(describe(ours, false), describe(theirMount, false));
    EXPECT_EQ(readFile(ours / "chunks.bin"), random);
    // The holes stay holes in the container itself.
    struct stat sparse {};
    ASSERT_EQ(::stat((ours / "sparse.bin").c_str(), &sparse), 0);
    EXPECT_LT(sparse.st_blocks * 512, mebibyte);
    tool.detach(ours, false);

    // What gocryptfs wrote itself, read back without a mount: the tree its mount shows, as the
    // source was (holes too, where the mount reports its own).
    const fs::path back = temp / "back";
    fs::create_directory(back);
    const TreeVerifier::Manifest out = [&] {
        const ContainerKeys keys = ContainerKeys::unlock(Folder::open(theirs), password);
        ContentCopier::Options options;
        options.sourceContainer = &keys;
        return copier.copyInto(theirs, Folder::open(back), "", options);
    }();
    EXPECT_EQ(TreeVerifier::compare(out, theirMount, {}), std::vector<TreeMismatch>{});
    EXPECT_EQ(describeTree(back, false), describeTree(source, false));
    EXPECT_EQ(describe(back, false), describe(source, false));
    tool.detach(theirMount, false);
}

// Read without a mount, what was changed in the container's own files is refused, never copied
// as if it were content: a flipped bit, a block moved within a file or taken from another, a
// file cut inside a block, its last block zeroed, two folders' tweaks swapped.
TEST_F(ContentCopierIntoContainerTest, ReadDirectlyRefusesWhatWasChanged) {
    const fs::path image = createImage("Changed");
    const fs::path mount = makeMountPoint("changed");
    tool.attach(image, mount, password, false);
    writeFile(mount / "one.bin", std::string(3 * 4096, '1'));
    writeFile(mount / "two.bin", std::string(3 * 4096, '2'));
    writeFile(mount / "sub/three.txt", "three");
    writeFile(mount / "short end", std::string(5000, 's'));
    tool.detach(mount, false);
    std::vector<fs::path> files;
    fs::path sub;
    fs::path shortEnd;
    for (const auto& entry : fs::directory_iterator(image)) {
        if (entry.is_directory()) {
            sub = entry.path();
        } else if (entry.file_size() == container::sealedSize(3 * 4096)) {
            files.push_back(entry.path());
        } else if (entry.file_size() == container::sealedSize(5000)) {
            shortEnd = entry.path();
        }
    }
    ASSERT_EQ(files.size(), 2U);
    ASSERT_FALSE(shortEnd.empty());
    ASSERT_FALSE(sub.empty());
    const auto refused = [&](const std::string& what) {
        SCOPED_TRACE(what);
        const fs::path into = temp / ("into " + what);
        fs::create_directory(into);
        const ContainerKeys keys = ContainerKeys::unlock(Folder::open(image), password);
        ContentCopier::Options options;
        options.sourceContainer = &keys;
        EXPECT_THROW((void)copier.copyInto(image, Folder::open(into), "", options), TesselaError);
    };
    const std::string original = readFile(files[0]);
    std::string flipped = sealedBlock(files[0], 1);
    flipped[40] = static_cast<char>(flipped[40] ^ 0x01);
    putSealedBlock(files[0], 1, flipped);
    refused("a flipped bit");
    writeFile(files[0], original);
    putSealedBlock(files[0], 0, sealedBlock(files[0], 2));
    refused("a block moved");
    writeFile(files[0], original);
    putSealedBlock(files[0], 1, sealedBlock(files[1], 1));
    refused("a block from another file");
    writeFile(files[0], original);
    fs::resize_file(files[0], original.size() - 100);
    refused("a file cut inside a block");
    writeFile(files[0], original);
    // Only a whole block of zeros is a hole: a last, shorter one is damage.
    const std::string shortOriginal = readFile(shortEnd);
    putSealedBlock(
        shortEnd, 1,
        std::string(shortOriginal.size() - container::headerSize - container::sealedBlockSize,
                    '\0'));
    refused("a last block zeroed");
    writeFile(shortEnd, shortOriginal);
    swapTweaks(image, sub);
    refused("two folders' tweaks swapped");
}

// Nothing the direct copy seals twice is sealed alike: every block's IV, every file's ID and
// every folder's tweak is new, also for identical files in identical folders (a repeated IV
// under one key would undo the cipher). None of this shows through the mount: it is read from
// the container's own files.
TEST_F(ContentCopierIntoContainerTest, EveryIvFileIdAndTweakIsNew) {
    // Over 100,000 blocks of the same bytes, in files of the same name in folders alike.
    const fs::path source = temp / "src";
    constexpr std::size_t fileSize = 200 * mebibyte;  // 51,200 blocks
    const std::string chunk(mebibyte, 'x');
    for (const char* folder : {"one", "two"}) {
        fs::create_directories(source / folder);
        std::ofstream out(source / folder / "same.bin", std::ios::binary);
        for (std::size_t written = 0; written < fileSize; written += chunk.size()) {
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        }
        writeFile(source / folder / "small", "s");
    }
    const fs::path image = createImage("Fresh");
    {
        const ContainerKeys keys = ContainerKeys::unlock(Folder::open(image), password);
        ContentCopier::Options options;
        options.container = &keys;
        (void)copier.copyInto(source, Folder::open(image), "", options);
    }
    std::set<std::string> ivs;
    std::set<std::string> ids;
    std::set<std::string> tweaks{readFile(image / container::dirIvName)};
    std::size_t blocks = 0;
    for (const auto& entry : fs::recursive_directory_iterator(image)) {
        const std::string name = entry.path().filename().string();
        if (name == container::dirIvName) {
            tweaks.insert(readFile(entry.path()));
            continue;
        }
        if (!entry.is_regular_file() || name.starts_with("gocryptfs.")) {
            continue;
        }
        std::ifstream sealed(entry.path(), std::ios::binary);
        std::string header(container::headerSize, '\0');
        sealed.read(header.data(), static_cast<std::streamsize>(header.size()));
        ids.insert(header.substr(2, container::fileIdSize));
        std::string block(container::sealedBlockSize, '\0');
        while (sealed.read(block.data(), static_cast<std::streamsize>(block.size())) ||
               sealed.gcount() > 0) {
            ivs.insert(block.substr(0, container::ivSize));
            ++blocks;
        }
    }
    EXPECT_EQ(blocks, 2 * (fileSize / container::blockSize) + 2);
    EXPECT_EQ(ivs.size(), blocks);
    EXPECT_EQ(ids.size(), 4U);
    EXPECT_EQ(tweaks.size(), 3U);
}

}  // namespace
}  // namespace tessela
