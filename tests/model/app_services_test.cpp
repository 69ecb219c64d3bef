// The application's small services: its settings file, the self-test of the shared state, and
// the disk-encryption check against fake sysfs trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <fstream>

#include "model/self_test.h"
#include "model/settings.h"
#include "model/system_checks.h"
#include "secrets/shared_state.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

class AppServicesTest : public ::testing::Test {
  protected:
    testing::TempFolder temp;
};

TEST_F(AppServicesTest, SettingsFallBackToDefaultsAndKeepOtherKeys) {
    const Settings settings(temp / "config/tessela/settings.json");
    EXPECT_EQ(settings.idleMinutes(), 15);
    EXPECT_TRUE(settings.touchIDEnabled());

    writeFile(settings.file(), "{ not json");
    EXPECT_EQ(settings.idleMinutes(), 15);
    writeFile(settings.file(), R"({"tessela.idleMinutes": "30", "tessela.touchIDEnabled": 0})");
    EXPECT_EQ(settings.idleMinutes(), 15);
    EXPECT_TRUE(settings.touchIDEnabled());
    writeFile(settings.file(), "[1, 2]");
    EXPECT_EQ(settings.integer(Settings::idleMinutesKey), std::nullopt);

    writeFile(settings.file(), R"({"someone.else": [1]})");
    settings.setInteger(Settings::idleMinutesKey, 0);
    settings.setBoolean(Settings::touchIDKey, false);
    EXPECT_EQ(settings.idleMinutes(), 0);
    EXPECT_FALSE(settings.touchIDEnabled());
    EXPECT_NE(readFile(settings.file()).find("someone.else"), std::string::npos);
    EXPECT_EQ(testing::permissions(settings.file()), 0600U);
}

TEST_F(AppServicesTest, FileManagerLinksLeadToThisInstallationAndSpareTheUsersFiles) {
    ::setenv("XDG_DATA_HOME", (temp / "data").c_str(), 1);
    const fs::path programs = temp / "installed/bin";
    const std::vector<SystemChecks::FinderPart> parts = SystemChecks::finderParts(programs);
    ASSERT_EQ(parts.size(), 3U);
    EXPECT_EQ(parts[2].link, temp / "data/nemo/actions/tessela.nemo_action");
    for (const SystemChecks::FinderPart& part : parts) {
        EXPECT_TRUE(part.target.string().starts_with((temp / "installed").string()));
        writeFile(part.target, part.fileManager);
    }
    EXPECT_FALSE(SystemChecks::finderExtensionEnabled(programs));

    // Dolphin's place holds the user's own file, Nemo's the user's own link (a dotfiles
    // folder); GNOME Files' a link of another installation.
    writeFile(parts[1].link, "mine");
    fs::create_directories(parts[2].link.parent_path());
    fs::create_symlink(temp / "dotfiles/mine.nemo_action", parts[2].link);
    fs::create_directories(parts[0].link.parent_path());
    fs::create_symlink(temp / "old/lib/libtessela-nautilus.so", parts[0].link);
    SystemChecks::enableFinderExtension(programs);
    EXPECT_TRUE(SystemChecks::finderPartEnabled(parts[0]));
    EXPECT_FALSE(SystemChecks::finderPartEnabled(parts[1]));
    EXPECT_EQ(readFile(parts[1].link), "mine");
    EXPECT_FALSE(SystemChecks::finderPartIsTessela(parts[2]));
    SystemChecks::disableFinderExtension(programs);
    EXPECT_EQ(fs::read_symlink(parts[2].link), temp / "dotfiles/mine.nemo_action");
    EXPECT_FALSE(SystemChecks::finderPartEnabled(parts[0]));

    fs::remove(parts[1].link);
    fs::remove(parts[2].link);
    SystemChecks::enableFinderExtension(programs);
    EXPECT_TRUE(SystemChecks::finderExtensionEnabled(programs));
    EXPECT_EQ(testing::namesIn(parts[1].link.parent_path()),
              std::vector<std::string>{"tessela.desktop"});  // no link left half made

    // A target that is gone (not installed) leaves its part off.
    fs::remove(parts[2].target);
    EXPECT_FALSE(SystemChecks::finderPartEnabled(parts[2]));
    SystemChecks::disableFinderExtension(programs);
    for (const SystemChecks::FinderPart& part : parts) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(part.link))) << part.link;
    }
}

TEST_F(AppServicesTest, SelfTestLeavesTheSharedStateAsItFoundIt) {
    const fs::path state = temp / "runtime/tessela/state.json";
    EXPECT_TRUE(SelfTest::passes(state));
    EXPECT_EQ(SharedState::read(state),
              (SharedState{{},
                           SharedState::currentBootTime(),
                           SharedState::currentBootId()}));  // nothing before: empty, this boot's

    const SharedState before{{"/home/someone/Taxes.tessvault"}, 1234};
    before.write(state);
    EXPECT_TRUE(SelfTest::passes(state));
    EXPECT_EQ(SharedState::read(state), before);

    EXPECT_FALSE(SelfTest::passes(std::nullopt));
    if (!testing::runningAsRoot()) {
        ::chmod((temp / "runtime/tessela").c_str(), 0500);
        EXPECT_FALSE(SelfTest::passes(state));
        ::chmod((temp / "runtime/tessela").c_str(), 0700);
        EXPECT_EQ(SharedState::read(state), before);
    }
}

// A fake sysfs whose device for the temporary folder's file system is `device` in class/block.
class DiskEncryptionTest : public AppServicesTest {
  protected:
    void SetUp() override {
        struct stat info {};
        ASSERT_EQ(::stat(temp.path().c_str(), &info), 0);
        number = std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
    }

    // class/block/NAME, with its device mapper uuid and the devices beneath it.
    void device(const std::string& name, const std::string& uuid,
                const std::vector<std::string>& slaves = {}) const {
        const fs::path folder = sysfs / "class/block" / name;
        fs::create_directories(folder / "slaves");
        if (!uuid.empty()) {
            writeFile(folder / "dm/uuid", uuid + "\n");
        }
        for (const std::string& slave : slaves) {
            fs::create_directory_symlink("../../" + slave, folder / "slaves" / slave);
        }
    }
    void homeOn(const std::string& name) const {
        fs::create_directories(sysfs / "dev/block");
        fs::create_directory_symlink(sysfs / "class/block" / name, sysfs / "dev/block" / number);
    }

    fs::path sysfs = temp / "sys";
    std::string number;
};

TEST_F(DiskEncryptionTest, CryptFoundDirectlyOrBeneathOtherMappings) {
    device("dm-0", "CRYPT-LUKS2-0123-luks-root", {"sda3"});
    device("sda3", "");
    device("dm-1", "LVM-abcdef", {"dm-0"});
    homeOn("dm-1");
    EXPECT_EQ(SystemChecks::diskEncryptionOn(temp.path(), sysfs), true);
}

TEST_F(DiskEncryptionTest, PlainDiskIsOffAndUnknownDeviceIsNone) {
    EXPECT_EQ(SystemChecks::diskEncryptionOn(temp.path(), sysfs), std::nullopt);
    device("dm-1", "LVM-abcdef", {"sda2"});
    device("sda2", "");
    homeOn("dm-1");
    EXPECT_EQ(SystemChecks::diskEncryptionOn(temp.path(), sysfs), false);
    EXPECT_EQ(SystemChecks::diskEncryptionOn(temp / "missing", sysfs), std::nullopt);
}

}  // namespace
}  // namespace tessela
