// A disk that fills half-way through the copy, on a small tmpfs: the lock and the lock removal
// fail with the copy's sentence and leave nothing behind. Mounting takes root: the test command
// runs these as root; anyone else skips them.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "engine/engine_fixture.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::namesIn;
using testing::randomBytes;
using testing::readFile;
using testing::writeFile;

class FullDiskTest : public testing::EngineTest {
  protected:
    static constexpr std::int64_t diskSize = 48'000'000;

    void SetUp() override {
        if (!testing::runningAsRoot()) {
            GTEST_SKIP() << "mounting a small disk takes root (the test command runs this as root)";
        }
        EngineTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        const std::string options = "size=" + std::to_string(diskSize) + ",mode=0755";
        ASSERT_EQ(
            ::mount("tessela-full-disk", (home / "Docs").c_str(), "tmpfs", 0, options.c_str()), 0)
            << std::strerror(errno);
        mounted_ = true;
        // The space checks pass: the disk fills during the copy itself.
        restart({.spaceMargin = -2 * diskSize});
    }

    void TearDown() override {
        EngineTest::TearDown();
        if (mounted_) {
            ::umount2((home / "Docs").c_str(), MNT_DETACH);
        }
    }

    // Fills the small disk until `left` bytes are free.
    void fillUntil(std::int64_t left) const {
        const std::optional<std::int64_t> free = FileSystem::real().freeSpace(home / "Docs");
        ASSERT_TRUE(free);
        writeFile(home / "Docs/filler", std::string(static_cast<std::size_t>(*free - left), 'f'));
    }

    bool mounted_ = false;
};

TEST_F(FullDiskTest, LockThatFillsTheDiskFailsAndLeavesTheOriginal) {
    const std::string content = randomBytes(30'000'000, 3);
    writeFile(home / "Docs/Report.bin", content);
    const TesselaError error = lockFailure(home / "Docs/Report.bin");
    EXPECT_EQ(error.errorCase(), TesselaError::Case::copyFailed) << error.errorDescription();
    EXPECT_TRUE(error.errorDescription().starts_with("Copying failed: Report.bin could not be "))
        << error.errorDescription();
    EXPECT_EQ(readFile(home / "Docs/Report.bin"), content);
    expectNothingLeft(home / "Docs");
}

TEST_F(FullDiskTest, LockRemovalThatFillsTheDiskFailsAndLeavesTheItemLocked) {
    writeFile(home / "Docs/Project/notes.txt", "notes");
    writeFile(home / "Docs/Project/data.bin", randomBytes(12'000'000, 4));
    const fs::path locked = locker->lock(home / "Docs/Project", password, 1).lastKnownPath;
    fillUntil(6'000'000);
    try {
        (void)locker->removeLock(locked, password);
        ADD_FAILURE() << "the removal fitted on a full disk";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error, TesselaError::copyFailed(
                             "data.bin could not be written (No space left on device)."));
    }
    fs::remove(home / "Docs/filler");
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Project.tessvault"});
    EXPECT_EQ(journal.load(), std::vector<JournalEntry>{});
    const OpenItem open = locker->unlock(locked, password);
    EXPECT_EQ(readFile(open.contentURL() / "notes.txt"), "notes");
}

}  // namespace
}  // namespace tessela
