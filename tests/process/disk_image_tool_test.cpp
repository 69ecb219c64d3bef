#include "process/disk_image_tool.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "errors/tessela_error.h"
#include "support/child_process.h"
#include "support/fuse_fixture.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

class DiskImageToolTest : public testing::FuseTest {
  protected:
    // The gocryptfs daemon serving `mountPoint`, from the process table.
    static std::vector<pid_t> daemonsServing(const fs::path& mountPoint) {
        const ProcessResult result = ProcessRunner::run(
            "/usr/bin/pgrep",
            {"-u", std::to_string(::getuid()), "-f", "gocryptfs .*" + mountPoint.string()});
        std::vector<pid_t> pids;
        std::istringstream lines(result.output);
        for (std::string line; std::getline(lines, line);) {
            pids.push_back(static_cast<pid_t>(std::stol(line)));
        }
        return pids;
    }

    // A fake gocryptfs that only records that it ran.
    std::string recordingTool() {
        const fs::path script = temp / "fake-gocryptfs";
        writeFile(script, "#!/bin/sh\ntouch \"$(dirname \"$0\")/tool-ran\"\nexit 0\n");
        ::chmod(script.c_str(), 0755);
        return script.string();
    }
};

TEST_F(DiskImageToolTest, CreateAttachWriteDetachThenReadOnly) {
    const fs::path image = createImage("Report");
    EXPECT_EQ(testing::permissions(image), 0700U);
    const fs::path mountPoint = makeMountPoint("mount");

    tool.attach(image, mountPoint, password, false);
    EXPECT_TRUE(isMounted(mountPoint));
    writeFile(mountPoint / "Report.pdf", "secret content");
    tool.detach(mountPoint, false);
    EXPECT_FALSE(isMounted(mountPoint));
    EXPECT_FALSE(fs::exists(mountPoint / "Report.pdf"));

    tool.attach(image, mountPoint, password, true);
    EXPECT_EQ(readFile(mountPoint / "Report.pdf"), "secret content");
    std::ofstream write(mountPoint / "new.txt");
    EXPECT_FALSE(write.is_open());
    tool.detach(mountPoint, false);
}

TEST_F(DiskImageToolTest, WrongPasswordMountsNothing) {
    const fs::path image = createImage("Report");
    const fs::path mountPoint = makeMountPoint("mount");
    try {
        tool.attach(image, mountPoint, "not the password", false);
        ADD_FAILURE() << "attached with a wrong password";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error, TesselaError::wrongPassword());
    }
    EXPECT_FALSE(isMounted(mountPoint));
}

TEST_F(DiskImageToolTest, NonAsciiPasswordAndPasswordChange) {
    const std::string first = "pässwörd 🔒 ü";
    const std::string second = "second pässwörd";
    const fs::path image = createImage("Item", first);
    const fs::path mountPoint = makeMountPoint("mount");
    tool.attach(image, mountPoint, first, false);
    writeFile(mountPoint / "kept.txt", "kept");
    tool.detach(mountPoint, false);

    tool.changePassword(image, first, second);
    EXPECT_THROW(tool.attach(image, mountPoint, first, true), TesselaError);
    tool.changePassword(image, second, second);
    tool.attach(image, mountPoint, second, true);
    EXPECT_EQ(readFile(mountPoint / "kept.txt"), "kept");
    tool.detach(mountPoint, false);
    EXPECT_FALSE(fs::exists(image / "gocryptfs.conf.bak"));

    try {
        tool.changePassword(image, first, "third password");
        ADD_FAILURE() << "changed the password with an old one";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error, TesselaError::wrongPassword());
    }
}

TEST_F(DiskImageToolTest, ListsMountsWithEscapedNamesAndCanonicalImagePath) {
    const fs::path image = createImage("a b ü");
    const fs::path mountPoint = makeMountPoint("mount point ü\tx");
    fs::create_symlink(temp.path(), temp / "link");
    tool.attach(temp / "link" / image.filename(), mountPoint, password, false);
    const auto images = tool.attachedImages();
    EXPECT_NE(std::find(images.begin(), images.end(), AttachedImage{image.string(), mountPoint}),
              images.end());
}

TEST_F(DiskImageToolTest, BusyVolumeNamesHolderThenForcedDetachEndsDaemon) {
    const fs::path image = createImage("Busy");
    const fs::path mountPoint = makeMountPoint("mount");
    tool.attach(image, mountPoint, password, false);
    fs::create_directories(mountPoint / "inside");
    testing::ChildProcess holder("/bin/sh", {"-c", "cd \"$1\" && echo ready && read line", "sh",
                                             (mountPoint / "inside").string()});
    ASSERT_EQ(holder.readLine(), "ready");

    const auto start = std::chrono::steady_clock::now();
    try {
        tool.detach(mountPoint, false);
        ADD_FAILURE() << "detached a busy volume";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error, TesselaError::inUse({"sh"}));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2 * DiskImageTool::detachPause);
    EXPECT_TRUE(isMounted(mountPoint));
    ASSERT_EQ(daemonsServing(mountPoint).size(), 1U);

    tool.detach(mountPoint, true);
    EXPECT_FALSE(isMounted(mountPoint));
    EXPECT_TRUE(daemonsServing(mountPoint).empty());
}

TEST_F(DiskImageToolTest, DetachOfUnmountedFolderIsDiskImageError) {
    const fs::path mountPoint = makeMountPoint("mount");
    try {
        tool.detach(mountPoint, false);
        ADD_FAILURE() << "detached a plain folder";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error.errorCase(), TesselaError::Case::diskImage);
        // "entry for … not found" for a user, "Invalid argument" for root.
        EXPECT_NE(error.errorDescription().find(mountPoint.string()), std::string::npos)
            << error.errorDescription();
    }
}

TEST_F(DiskImageToolTest, PasswordsThatCannotTravelNeverReachTheTool) {
    const DiskImageTool fake(DiskImageTool::Tools{recordingTool()});
    const std::string lineFeed = "first\nsecond";
    const std::string nul("first\0second", 12);
    for (const std::string& bad : {lineFeed, nul}) {
        try {
            fake.create(temp / "x.sparsebundle", "x", bad);
            ADD_FAILURE() << "created with an impossible password";
        } catch (const TesselaError& error) {
            EXPECT_EQ(error.errorCase(), TesselaError::Case::diskImage);
        }
        EXPECT_THROW(fake.changePassword(temp / "x.sparsebundle", "old", bad), TesselaError);
        EXPECT_THROW(fake.changePassword(temp / "x.sparsebundle", bad, "new"), TesselaError);
        try {
            fake.attach(temp / "x.sparsebundle", temp.path(), bad, false);
            ADD_FAILURE() << "attached with an impossible password";
        } catch (const TesselaError& error) {
            EXPECT_EQ(error, TesselaError::wrongPassword());
        }
    }
    EXPECT_FALSE(fs::exists(temp / "tool-ran"));
    EXPECT_FALSE(fs::exists(temp / "x.sparsebundle"));
}

TEST_F(DiskImageToolTest, BadImageNameAndMissingToolFailBeforeAnythingRuns) {
    const DiskImageTool fake(DiskImageTool::Tools{recordingTool()});
    EXPECT_THROW(fake.create(temp / "Report.tessvault", "Report", password), std::invalid_argument);
    EXPECT_FALSE(fs::exists(temp / "tool-ran"));
    EXPECT_FALSE(fs::exists(temp / "Report.tessvault"));

    const DiskImageTool missing(DiskImageTool::Tools{(temp / "no-gocryptfs").string()});
    EXPECT_THROW(missing.create(temp / "x.sparsebundle", "x", password), std::system_error);
}

TEST(DiskImageToolCleanTest, JoinsLinesAndDropsToolPrefixes) {
    EXPECT_EQ(DiskImageTool::clean("hdiutil: attach failed\nhdiutil: Resource busy\n"),
              "attach failed Resource busy");
    EXPECT_EQ(DiskImageTool::clean("fusermount3: entry for /a b not found in /etc/mtab\n"),
              "entry for /a b not found in /etc/mtab");
    EXPECT_EQ(DiskImageTool::clean("\n  \x1b[31mPassword incorrect.\x1b[0m\n\n"),
              "Password incorrect.");
    EXPECT_EQ(DiskImageTool::clean("failed to unlock master key: cipher: message authentication "
                                   "failed\nPassword incorrect.\n"),
              "failed to unlock master key: cipher: message authentication failed Password "
              "incorrect.");
    EXPECT_EQ(DiskImageTool::clean(""), "");
}

TEST(DiskImageToolMountInfoTest, ParsesOnlyGocryptfsMountsAndUnescapes) {
    const std::string mountInfo =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "45 27 0:40 / /tmp/x/mnt\\040\xC3\xBC\\011x rw,nosuid shared:5 master:1 - fuse.gocryptfs "
        "/nonexistent/a\\040b.sparsebundle rw,user_id=1001\n"
        "46 27 0:41 / /tmp/other rw - fuse.sshfs host:/ rw\n";
    EXPECT_EQ(
        DiskImageTool::parseMountInfo(mountInfo),
        (std::vector<AttachedImage>{{"/nonexistent/a b.sparsebundle", "/tmp/x/mnt \xC3\xBC\tx"}}));
}

}  // namespace
}  // namespace tessela
