#include "checks/inside_checks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include "checks/item_survey.h"
#include "errors/tessela_error.h"
#include "files/item_facts.h"
#include "files/metadata_snapshot.h"
#include "posix/unique_fd.h"
#include "process/disk_image_tool.h"
#include "support/fuse_fixture.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::writeFile;

// The error a check throws, or none.
template <class Check>
std::optional<TesselaError> failureOf(Check check) {
    try {
        check();
    } catch (const TesselaError& error) {
        return error;
    }
    return std::nullopt;
}

// A probe that reports the named files as immutable and everything else as plain.
LockAttributeProbe immutable(std::vector<fs::path> paths) {
    return [paths = std::move(paths)](const fs::path& path) -> std::optional<LockAttributes> {
        const bool locked = std::find(paths.begin(), paths.end(), path) != paths.end();
        return LockAttributes{locked, false};
    };
}

TEST(InsideChecksTest, AppleDoubleAnywhereIsRefused) {
    testing::TempFolder temp;
    writeFile(temp / "Item/sub/._photo.jpg", "");
    writeFile(temp / "._Solo", "");
    EXPECT_EQ(failureOf([&] { refuseAppleDoubleOrFinderLockedInside(temp / "Item", "Item"); }),
              TesselaError::containsAppleDouble("Item"));
    EXPECT_EQ(failureOf([&] { refuseAppleDoubleOrFinderLockedInside(temp / "._Solo", "x"); }),
              TesselaError::containsAppleDouble("x"));
    writeFile(temp / "Clean/a_b._c", "");
    EXPECT_EQ(failureOf([&] { refuseAppleDoubleOrFinderLockedInside(temp / "Clean", "C"); }),
              std::nullopt);
}

TEST(InsideChecksTest, LockedFilesInsideAndOnTheItem) {
    testing::TempFolder temp;
    writeFile(temp / "Item/sub/locked.txt", "");
    writeFile(temp / "Item/plain.txt", "");
    const auto probe = immutable({temp / "Item/sub/locked.txt", temp / "Solo.txt"});
    EXPECT_EQ(
        failureOf([&] { refuseAppleDoubleOrFinderLockedInside(temp / "Item", "Item", probe); }),
        TesselaError::containsFinderLocked("Item"));
    writeFile(temp / "Solo.txt", "");
    EXPECT_EQ(failureOf([&] { refuseFinderLocked(temp / "Solo.txt", "Solo.txt", probe); }),
              TesselaError::finderLocked("Solo.txt"));
    EXPECT_EQ(failureOf([&] { refuseFinderLocked(temp / "Item", "Item", probe); }), std::nullopt);
    EXPECT_EQ(failureOf([&] { refuseFinderLocked(temp / "Item", "Item"); }), std::nullopt);
    EXPECT_EQ(failureOf([&] { refuseFinderLocked(temp / "missing", "m"); }), std::nullopt);
}

TEST(InsideChecksTest, LockedFileInUnreadableFolderIsNotSeen) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root reads unreadable folders";
    }
    testing::TempFolder temp;
    writeFile(temp / "Item/closed/locked.txt", "");
    ::chmod((temp / "Item/closed").c_str(), 0);
    const auto probe = immutable({temp / "Item/closed/locked.txt"});
    EXPECT_EQ(
        failureOf([&] { refuseAppleDoubleOrFinderLockedInside(temp / "Item", "Item", probe); }),
        std::nullopt);
}

// The real attribute: only root may set it; as an ordinary user this test is skipped.
TEST(InsideChecksTest, RealImmutableAttributeIsRead) {
    if (!testing::runningAsRoot()) {
        GTEST_SKIP() << "setting the immutable attribute needs root";
    }
    testing::TempFolder temp;
    writeFile(temp / "Item/locked.txt", "");
    const auto setImmutable = [&](bool on) {
        const UniqueFd fd(::open((temp / "Item/locked.txt").c_str(), O_RDONLY | O_CLOEXEC));
        int flags = 0;
        if (!fd || ::ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) != 0) {
            return false;
        }
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        return ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
    };
    if (!setImmutable(true)) {
        GTEST_SKIP() << "this file system has no immutable attribute";
    }
    EXPECT_EQ(failureOf([&] { refuseAppleDoubleOrFinderLockedInside(temp / "Item", "Item"); }),
              TesselaError::containsFinderLocked("Item"));
    EXPECT_EQ(failureOf([&] { refuseFinderLocked(temp / "Item/locked.txt", "l"); }),
              TesselaError::finderLocked("l"));
    EXPECT_TRUE(setImmutable(false));
}

TEST(InsideChecksTest, HardLinkedFilesAreRefused) {
    testing::TempFolder temp;
    writeFile(temp / "Item/sub/a.txt", "");
    writeFile(temp / "Solo.txt", "");
    EXPECT_EQ(failureOf([&] { refuseHardLinkedFiles(temp / "Item", "Item"); }), std::nullopt);
    fs::create_hard_link(temp / "Item/sub/a.txt", temp / "elsewhere.txt");
    fs::create_hard_link(temp / "Solo.txt", temp / "Solo copy.txt");
    EXPECT_EQ(failureOf([&] { refuseHardLinkedFiles(temp / "Item", "Item"); }),
              TesselaError::hardLinked("Item"));
    EXPECT_EQ(failureOf([&] { refuseHardLinkedFiles(temp / "Solo.txt", "Solo.txt"); }),
              TesselaError::hardLinked("Solo.txt"));
}

class MountsInsideTest : public testing::FuseTest {};

TEST_F(MountsInsideTest, OpenLockedItemOrDiskInsideIsRefused) {
    fs::create_directories(temp / "Item/sub");
    const fs::path image = createImage("Item/sub/Inner");
    const fs::path outside = makeMountPoint("outside");
    tool.attach(image, outside, password, false);
    EXPECT_EQ(failureOf([&] { refuseMountsInside(temp / "Item", "Item", tool); }),
              TesselaError::containsMountedDisk("Item"));
    tool.detach(outside, false);

    fs::rename(image, temp / "Item/sub/Inner.tessvault");
    tool.attach(temp / "Item/sub/Inner.tessvault", outside, password, false);
    EXPECT_EQ(failureOf([&] { refuseMountsInside(temp / "Item", "Item", tool); }),
              TesselaError::containsUnlockedItem("Item"));
    EXPECT_EQ(failureOf([&] { refuseMountsInside(temp / "Other", "Other", tool); }), std::nullopt);
    tool.detach(outside, false);

    const fs::path inside = makeMountPoint("Item/mounted here");
    tool.attach(temp / "Item/sub/Inner.tessvault", inside, password, true);
    EXPECT_EQ(failureOf([&] { refuseMountsInside(temp / "Item", "Item", tool); }),
              TesselaError::containsUnlockedItem("Item"));
    EXPECT_EQ(failureOf([&] { refuseMountsInside(temp / "Item/mounted here", "m", tool); }),
              TesselaError::containsMountedDisk("m"));
}

// The lock's one walk must measure and snapshot exactly what the separate measures give.
TEST(ItemSurveyTest, OneWalkGivesWhatEachMeasureGives) {
    testing::TempFolder temp;
    const std::filesystem::path item = temp / "Item";
    testing::writeFile(item / "a.txt", "alpha");
    testing::writeFile(item / "deep/er/b.bin", std::string(70'000, 'b'));
    std::filesystem::create_directories(item / "empty");
    std::filesystem::create_symlink("a.txt", item / "link");
    const ItemSurvey survey = ItemSurvey::of(item, 0);
    EXPECT_EQ(survey.allocatedSize(), ItemFacts::allocatedSize(item));
    EXPECT_EQ(survey.logicalSize(), ItemFacts::logicalSize(item));
    EXPECT_EQ(survey.containerOverhead(), DiskImageTool::containerOverhead(item));
    EXPECT_EQ(survey.snapshot(), metadataSnapshot(item));
    const ItemSurvey file = ItemSurvey::of(item / "a.txt", 0);
    EXPECT_EQ(file.logicalSize(), 5);
    EXPECT_EQ(file.containerOverhead(), DiskImageTool::containerOverhead(item / "a.txt"));
    EXPECT_EQ(file.snapshot(), metadataSnapshot(item / "a.txt"));
}

}  // namespace
}  // namespace tessela
