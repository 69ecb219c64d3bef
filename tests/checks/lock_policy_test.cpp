#include "checks/lock_policy.h"

#include <gtest/gtest.h>

#include "files/paths.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;

class LockPolicyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* folder :
             {"Desktop/Project", "Documents", "Library/Preferences/x",
              "Library/Mobile Documents/com~apple~CloudDocs/Report", "Library/CloudStorage",
              ".config/app", ".cache", ".local/share/Tessela/Open/E621/Report.pdf", "Photo.APP",
              "Tools.app/Contents", "Disk.sparsebundle/bands/0", "Secrets.tessvault",
              ".tessela-E621.partial.sparsebundle", "Work/Plan"}) {
            fs::create_directories(home / folder);
        }
        fs::create_directories(temp / "Apps/Tessela.app/Contents");
        fs::create_symlink(home / "Work", home / "Work link");
    }

    // A real path's refusal with facts read from the disk.
    std::optional<LockRefusal> refusalOf(const fs::path& path) const {
        return policy.refusal(path, ItemFacts::inspect(path));
    }

    // A refusal for a path that need not exist, with the facts given.
    std::optional<LockRefusal> refusalWith(const fs::path& path, ItemFacts facts) const {
        return policy.refusal(path, facts);
    }

    static ItemFacts present(std::int64_t size = 0) {
        ItemFacts facts;
        facts.exists = true;
        facts.size = size;
        return facts;
    }

    testing::TempFolder temp;
    fs::path home = temp / "home/ada";
    LockPolicy policy{home, home / ".local/share/Tessela/Open", temp / "Apps/Tessela.app", "ada"};
};

TEST_F(LockPolicyTest, PathsInsideHomeAreJudgedInOrder) {
    const std::vector<std::pair<std::string, std::optional<LockRefusal>>> cases = {
        {"", LockRefusal::homeFolder},
        {"Desktop", LockRefusal::standardFolder},
        {"Documents", LockRefusal::standardFolder},
        {"Desktop/Project", std::nullopt},
        {"Library", LockRefusal::libraryFolder},
        {"Library/Preferences/x", LockRefusal::libraryFolder},
        {"Library/CloudStorage", LockRefusal::libraryFolder},
        {"Library/Mobile Documents/com~apple~CloudDocs", LockRefusal::libraryFolder},
        {"Library/Mobile Documents/com~apple~CloudDocs/Report", std::nullopt},
        {".config", LockRefusal::libraryFolder},
        {".config/app", LockRefusal::libraryFolder},
        {".cache", LockRefusal::libraryFolder},
        {".local/share/Tessela/Open/E621/Report.pdf", LockRefusal::insideUnlockedItem},
        {".local/share/Tessela/Open", LockRefusal::insideUnlockedItem},
        {"Photo.APP", LockRefusal::application},
        {"Tools.app/Contents", LockRefusal::application},
        {"Disk.sparsebundle", std::nullopt},
        {"Disk.sparsebundle/bands/0", LockRefusal::insideLockedItem},
        {"Secrets.tessvault", LockRefusal::alreadyLocked},
        {".tessela-E621.partial.sparsebundle", LockRefusal::alreadyLocked},
        {"Work link", LockRefusal::shortcut},
        {"Work link/Plan", std::nullopt},
        {"Work/Plan", std::nullopt},
        {"Missing", LockRefusal::doesNotExist},
    };
    for (const auto& [relative, expected] : cases) {
        const fs::path path = relative.empty() ? home : home / relative;
        EXPECT_EQ(refusalOf(path), expected) << relative;
    }
}

TEST_F(LockPolicyTest, ApplicationItselfWinsOverOtherRules) {
    EXPECT_EQ(refusalOf(temp / "Apps/Tessela.app"), LockRefusal::tesselaItself);
    EXPECT_EQ(refusalOf(temp / "Apps/Tessela.app/Contents"), LockRefusal::tesselaItself);
    const LockPolicy installed(home, home / "Open", fs::path("/Applications/Tessela.app"), "ada");
    EXPECT_EQ(installed.refusal("/Applications/Tessela.app", present()),
              LockRefusal::tesselaItself);
    EXPECT_EQ(installed.refusal("/Applications/Other.app", present()), LockRefusal::systemLocation);
}

TEST_F(LockPolicyTest, SystemLocationsAreRefused) {
    for (const char* path :
         {"/",          "/Users",      "/Volumes",      "/home",          "/media",
          "/mnt",       "/run/media",  "/media/ada",    "/run/media/ada", "/usr",
          "/usr/bin",   "/etc/passwd", "/private/etc",  "/System/x",      "/boot",
          "/proc/self", "/sys/kernel", "/var/lib/dpkg", "/var/log/x",     "/lib64"}) {
        EXPECT_EQ(refusalWith(path, present()), LockRefusal::systemLocation) << path;
    }
    for (const char* path : {"/private/var/x", "/media/ada/USB/Photos", "/mnt/data/Photos",
                             "/var/tmp/x", "/run/user/1000/x", "/data/opted"}) {
        EXPECT_EQ(refusalWith(path, present()), std::nullopt) << path;
    }
}

TEST_F(LockPolicyTest, FoldersHoldingRefusedLocationsAreRefusedForThem) {
    // Folders directly in "/", and folders that hold a system location.
    for (const char* path : {"/run", "/var", "/srv", "/root", "/private", "/tmp", "/data"}) {
        EXPECT_EQ(refusalWith(path, present()), LockRefusal::systemLocation) << path;
    }
    // A folder holding the home folder, Tessela's records and mounts, or its program.
    EXPECT_EQ(refusalOf(temp / "home"), LockRefusal::homeFolder);
    const LockPolicy elsewhere(home, temp / "support/Open", temp / "Apps/Tessela.app", "ada");
    EXPECT_EQ(elsewhere.refusal(temp / "support", present()), LockRefusal::tesselaItself);
    EXPECT_EQ(elsewhere.refusal(temp / "support/items.json", present()),
              LockRefusal::tesselaItself);
    EXPECT_EQ(elsewhere.refusal(temp / "Apps", present()), LockRefusal::tesselaItself);
    EXPECT_EQ(elsewhere.refusal(temp / "supporting", present()), std::nullopt);
}

TEST_F(LockPolicyTest, VolumeFactsAndSizeComeLast) {
    ItemFacts network = present();
    network.isNetworkVolume = true;
    network.isVolumeRoot = true;
    EXPECT_EQ(refusalWith("/mnt/share", network), LockRefusal::networkVolume);
    ItemFacts drive = present();
    drive.isVolumeRoot = true;
    EXPECT_EQ(refusalWith("/media/ada/USB", drive), LockRefusal::volumeRoot);
    EXPECT_EQ(refusalWith(home / "Work", present(LockPolicy::maxBytes)), std::nullopt);
    EXPECT_EQ(refusalWith(home / "Work", present(LockPolicy::maxBytes + 1)), LockRefusal::tooLarge);
    ItemFacts link = present();
    link.isSymlink = true;
    EXPECT_EQ(refusalWith(home, link), LockRefusal::shortcut);
    EXPECT_EQ(refusalWith(home / "Work", ItemFacts{}), LockRefusal::doesNotExist);
}

TEST(RealPathTest, ResolvesDeepestExistingAncestorAndKeepsMissingTail) {
    testing::TempFolder temp;
    fs::create_directories(temp / "real/sub");
    fs::create_symlink(temp / "real", temp / "link");
    EXPECT_EQ(realPath(temp / "link/sub"), (temp / "real/sub").string());
    EXPECT_EQ(realPath(temp / "link/missing/deeper"), (temp / "real/missing/deeper").string());
    EXPECT_EQ(realPath(temp / "link/./sub/../sub/"), (temp / "real/sub").string());
    EXPECT_EQ(realPath("/"), "/");
    EXPECT_TRUE(isBeneath("/a/b", "/a"));
    EXPECT_FALSE(isBeneath("/ab", "/a"));
    EXPECT_FALSE(isBeneath("/a", "/a"));
    EXPECT_TRUE(isAtOrBeneath("/a", "/a"));
}

TEST(ItemFactsTest, InspectsRealItems) {
    testing::TempFolder temp;
    testing::writeFile(temp / "Folder/a.bin", std::string(10'000, 'a'));
    testing::writeFile(temp / "Folder/sub/b.bin", std::string(5'000, 'b'));
    fs::create_symlink(temp / "Folder", temp / "link");

    const ItemFacts folder = ItemFacts::inspect(temp / "Folder");
    EXPECT_TRUE(folder.exists);
    EXPECT_FALSE(folder.isSymlink);
    EXPECT_FALSE(folder.isVolumeRoot);
    EXPECT_GE(folder.size, 15'000);
    EXPECT_EQ(ItemFacts::logicalSize(temp / "Folder"), 15'000);
    EXPECT_EQ(ItemFacts::logicalSize(temp / "Folder/a.bin"), 10'000);

    const ItemFacts link = ItemFacts::inspect(temp / "link");
    EXPECT_TRUE(link.isSymlink);
    EXPECT_EQ(link.size, 0);
    EXPECT_EQ(ItemFacts::inspect(temp / "missing"), ItemFacts{});
    EXPECT_EQ(ItemFacts::logicalSize(temp / "missing"), 0);
    EXPECT_TRUE(ItemFacts::inspect("/").isVolumeRoot);
    EXPECT_TRUE(ItemFacts::inspect("/proc").isVolumeRoot);
}

}  // namespace
}  // namespace tessela
