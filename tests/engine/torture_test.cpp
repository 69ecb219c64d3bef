// Kills a process that locks and unlocks a folder at random moments, and proves after every
// kill that recovery leaves each file of the folder exactly once, with its original bytes, and
// nothing temporary behind.
//
// The test command runs one fixed seed, so every run of the suite kills at the same moments;
// TESSELA_TORTURE_SEED picks another and TESSELA_TORTURE_KILLS sets how many kills (default 30).
// scripts/soak runs it with random seeds and many more kills.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "checks/tree_verifier.h"
#include "engine/engine_fixture.h"
#include "records/volume_layout.h"
#include "support/child_process.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::namesIn;
using testing::writeFile;

int environmentNumber(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

class TortureTest : public testing::EngineTest {
  protected:
    // A tree of nested folders, files of 0 to 200 KB, non-ASCII names, a link, an empty folder.
    void makeData(std::mt19937& generator) {
        std::uniform_int_distribution<std::size_t> size(0, 200'000);
        for (int number = 0; number < 40; ++number) {
            const fs::path file = data / ("folder " + std::to_string(number % 5)) /
                                  (number % 7 == 0 ? "ü" : "") / ("file " + std::to_string(number));
            writeFile(file, testing::randomBytes(size(generator), static_cast<unsigned>(number)));
        }
        fs::create_directories(data / "empty");
        fs::create_symlink("folder 0/file 0", data / "link");
        ASSERT_EQ(
            std::system(("cp -a '" + data.string() + "' '" + reference.string() + "'").c_str()), 0);
    }

    // After recovery: the data exists exactly once, as the plain folder or inside the locked
    // item, with every byte; nothing temporary is left.
    void expectIntact(const std::string& where) {
        SCOPED_TRACE(where);
        const bool plain = fs::exists(data);
        const bool locked = fs::exists(lockedData);
        ASSERT_NE(plain, locked) << "plain " << plain << ", locked " << locked;
        std::vector<std::string> names = namesIn(home);
        EXPECT_EQ(names, std::vector<std::string>{plain ? "Data" : "Data.tessvault"});
        EXPECT_EQ(journal.load(), std::vector<JournalEntry>{});
        if (fs::exists(mountsRoot)) {
            EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
        }
        for (const AttachedImage& image : tool.attachedImages()) {
            EXPECT_FALSE(image.mountPoint.string().starts_with(temp.path().string()))
                << "still mounted: " << image.mountPoint;
        }
        if (plain) {
            EXPECT_EQ(TreeVerifier::compare(reference, data, {}), std::vector<TreeMismatch>{});
            return;
        }
        const fs::path mountPoint = makeMountPoint("check");
        tool.attach(lockedData, mountPoint, password, true);
        const std::set<std::string> housekeeping = VolumeLayout::housekeepingNames();
        EXPECT_EQ(TreeVerifier::compare(reference, mountPoint, housekeeping),
                  std::vector<TreeMismatch>{});
        tool.detach(mountPoint, false);
        fs::remove(mountPoint);
    }

    fs::path data = home / "Data";
    fs::path lockedData = home / "Data.tessvault";
    fs::path reference = temp / "reference";
    fs::path status = temp / "status";
};

constexpr int fixedSeed = 1208;

TEST_F(TortureTest, EveryKillIsRecoveredWithoutLoss) {
    const unsigned seed =
        static_cast<unsigned>(environmentNumber("TESSELA_TORTURE_SEED", fixedSeed));
    const int kills = environmentNumber("TESSELA_TORTURE_KILLS", 30);
    std::cout << "torture seed " << seed << ", " << kills << " kills" << std::endl;
    SCOPED_TRACE("TESSELA_TORTURE_SEED=" + std::to_string(seed));
    std::mt19937 generator(seed);
    fs::remove_all(home / "Docs");
    makeData(generator);

    std::uniform_int_distribution<int> delay(30, 1500);
    std::map<std::string, int> landedAt;
    for (int kill = 1; kill <= kills && !HasFailure(); ++kill) {
        {
            testing::ChildProcess cycler(LOCK_CYCLER, {(temp / "support").string(), home.string(),
                                                       data.string(), status.string()});
            std::this_thread::sleep_for(std::chrono::milliseconds(delay(generator)));
            ASSERT_EQ(::kill(cycler.pid(), SIGKILL), 0);
            const int waitStatus = cycler.wait();
            ASSERT_TRUE(WIFSIGNALED(waitStatus))
                << "the cycler stopped on its own (status " << WEXITSTATUS(waitStatus) << ")";
        }
        ++landedAt[testing::readFile(status)];
        // Let the killed process's tools finish dying, as they would before a restart.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Locker restarted(temp / "support", home, std::nullopt, tool);
        const RecoveryReport report = restarted.recover();
        EXPECT_EQ(report.keptForLater, 0);
        expectIntact("after kill " + std::to_string(kill));
    }
    std::cout << "kills landed at:";
    for (const auto& [step, count] : landedAt) {
        std::cout << ' ' << step << " ×" << count;
    }
    std::cout << std::endl;
}

}  // namespace
}  // namespace tessela
