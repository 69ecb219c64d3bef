#include "files/file_system.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>

#include "support/temp_folder.h"

namespace tessela {
namespace {

using testing::readFile;
using testing::writeFile;

TEST(LinuxFileSystemTest, ExclusiveRenameNeverReplacesAndFlushesReportFailures) {
    testing::TempFolder temp;
    FileSystem& system = FileSystem::real();
    writeFile(temp / "a", "a");
    writeFile(temp / "b", "b");
    const Folder folder = Folder::open(temp.path());
    try {
        system.renameExclusively(folder, "a", folder, "b");
        ADD_FAILURE() << "replaced an existing file";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EEXIST);
    }
    EXPECT_EQ(readFile(temp / "b"), "b");
    system.renameExclusively(folder, "a", folder, "c");
    EXPECT_EQ(readFile(temp / "c"), "a");

    EXPECT_NO_THROW(system.syncFileSystem(folder));
    EXPECT_NO_THROW(system.syncFolder(folder));
    EXPECT_GT(system.freeSpace(temp.path()).value_or(0), 0);
    EXPECT_EQ(system.freeSpace(temp / "missing"), std::nullopt);
}

TEST(LinuxFileSystemTest, PrivateWritesReplaceWholeAndStayPrivate) {
    testing::TempFolder temp;
    const std::filesystem::path file = temp / "records/list.json";
    FileSystem::real().writePrivately(file, "first");
    FileSystem::real().writePrivately(file, "second");
    EXPECT_EQ(readFile(file), "second");
    EXPECT_EQ(std::filesystem::status(file).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(std::filesystem::status(temp / "records").permissions(),
              std::filesystem::perms::owner_all);
    EXPECT_EQ(testing::namesIn(temp / "records"), std::vector<std::string>{"list.json"});
}

}  // namespace
}  // namespace tessela
