#include "records/support_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "process/process_runner.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

using testing::permissions;
using testing::TempFolder;

// Another process's attempt to take the lock, through the probe helper.
std::string probe(const std::filesystem::path& folder) {
    return ProcessRunner::run(SUPPORT_LOCK_PROBE, {folder.string()}).output;
}

TEST(SupportLockTest, CreatesPrivateFolderAndLockFile) {
    TempFolder temp;
    const auto folder = temp / "a/Tessela";
    const auto lock = SupportLock::acquire(folder);
    ASSERT_TRUE(lock.has_value());
    EXPECT_EQ(permissions(folder), 0700U);
    EXPECT_EQ(permissions(folder / ".tessela.lock"), 0600U);
}

TEST(SupportLockTest, SecondProcessIsRefusedUntilTheFirstReleases) {
    TempFolder temp;
    {
        const auto lock = SupportLock::acquire(temp.path());
        ASSERT_TRUE(lock.has_value());
        EXPECT_EQ(probe(temp.path()), "refused\n");
    }
    EXPECT_EQ(probe(temp.path()), "acquired\n");
    EXPECT_TRUE(std::filesystem::exists(temp / ".tessela.lock"));
}

TEST(SupportLockTest, LockIsFreeOnceTheHoldingProcessExits) {
    TempFolder temp;
    testing::ChildProcess holder(SUPPORT_LOCK_PROBE, {temp.path().string()});
    ASSERT_EQ(holder.readLine(), "acquired");
    EXPECT_FALSE(SupportLock::acquire(temp.path()).has_value());
    holder.closeInput();
    EXPECT_TRUE(WIFEXITED(holder.wait()));
    EXPECT_TRUE(SupportLock::acquire(temp.path()).has_value());
}

TEST(SupportLockTest, LeftoverLockFileDoesNotPreventAcquiring) {
    TempFolder temp;
    testing::writeFile(temp / ".tessela.lock", "");
    EXPECT_TRUE(SupportLock::acquire(temp.path()).has_value());
}

TEST(SupportLockTest, MovedLockKeepsHoldingUntilDestroyed) {
    TempFolder temp;
    auto first = SupportLock::acquire(temp.path());
    ASSERT_TRUE(first.has_value());
    std::optional<SupportLock> moved = std::move(first);
    first.reset();
    EXPECT_EQ(probe(temp.path()), "refused\n");
    moved.reset();
    EXPECT_EQ(probe(temp.path()), "acquired\n");
}

TEST(SupportLockTest, FailuresOtherThanAnotherHolderAreErrorsOfTheirOwn) {
    // Only a lock held elsewhere means "another copy is working"; a folder that cannot be made
    // or a link planted in the lock file's place is reported as what it is.
    TempFolder temp;
    testing::writeFile(temp / "file", "");
    try {
        (void)SupportLock::acquire(temp / "file/Tessela");
        ADD_FAILURE() << "took a lock in a folder that cannot exist";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENOTDIR);
    }
    std::filesystem::create_directories(temp / "linked");
    std::filesystem::create_symlink(temp / "elsewhere", temp / "linked" / SupportLock::fileName);
    EXPECT_THROW((void)SupportLock::acquire(temp / "linked"), std::system_error);
    EXPECT_FALSE(std::filesystem::exists(temp / "elsewhere"));
}

}  // namespace
}  // namespace tessela
