// The application's small services: its settings file, the self-test of the shared state, and
// the disk-encryption check against fake sysfs trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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

TEST_F(AppServicesTest, SelfTestLeavesTheSharedStateAsItFoundIt) {
    const fs::path state = temp / "runtime/tessela/state.json";
    EXPECT_TRUE(SelfTest::passes(state));
    EXPECT_EQ(SharedState::read(state),
              (SharedState{{}, SharedState::currentBootTime()}));  // nothing before: empty

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
