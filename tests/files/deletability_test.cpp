#include "files/deletability.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix/unique_fd.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::permissions;

TEST(DeletabilityTest, LockedDownFoldersBecomeRemovable) {
    testing::TempFolder temp;
    const fs::path item = temp / "Item";
    testing::writeFile(item / "ro/file.txt", "x");
    testing::writeFile(item / "closed/inner/deep.txt", "y");
    fs::create_symlink("/etc", item / "link");
    ::chmod((item / "closed/inner").c_str(), 0500);
    ::chmod((item / "closed").c_str(), 0);
    ::chmod((item / "ro").c_str(), 0555);
    ::chmod((item / "ro/file.txt").c_str(), 0444);

    makeDeletable(item);
    EXPECT_EQ(permissions(item / "ro"), 0755U);
    EXPECT_EQ(permissions(item / "closed"), 0700U);
    EXPECT_EQ(permissions(item / "closed/inner"), 0700U);
    EXPECT_EQ(permissions(item / "ro/file.txt"), 0444U);  // files keep their modes
    std::error_code error;
    fs::remove_all(item, error);
    EXPECT_FALSE(error) << error.message();
    EXPECT_FALSE(fs::exists(item));
}

TEST(DeletabilityTest, MissingItemAndNoDenyEntriesAreHarmless) {
    testing::TempFolder temp;
    makeDeletable(temp / "missing");
    EXPECT_FALSE(hasDenyDeleteACL(temp.path()));
}

// Only root may set the immutable attribute; as an ordinary user this test is skipped.
TEST(DeletabilityTest, ImmutableFileIsClearedUnlessHardLinked) {
    if (!testing::runningAsRoot()) {
        GTEST_SKIP() << "setting the immutable attribute needs root";
    }
    testing::TempFolder temp;
    testing::writeFile(temp / "Item/single.txt", "x");
    testing::writeFile(temp / "Item/linked.txt", "y");
    fs::create_hard_link(temp / "Item/linked.txt", temp / "other-link.txt");
    const auto setImmutable = [](const fs::path& file, bool on) {
        const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        int flags = 0;
        if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) {
            return false;
        }
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
    };
    if (!setImmutable(temp / "Item/single.txt", true) ||
        !setImmutable(temp / "Item/linked.txt", true)) {
        GTEST_SKIP() << "this file system has no immutable attribute";
    }
    makeDeletable(temp / "Item");
    EXPECT_EQ(::unlink((temp / "Item/single.txt").c_str()), 0);
    EXPECT_NE(::unlink((temp / "Item/linked.txt").c_str()), 0);
    EXPECT_TRUE(setImmutable(temp / "Item/linked.txt", false));
}

}  // namespace
}  // namespace tessela
