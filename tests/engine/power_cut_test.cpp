// Power cuts: the lock and the lock removal run on a file system that, at a chosen step, loses
// everything not yet made durable. Whatever the step, the content must survive whole in at least
// one place, and recovery at the next start must settle what is left.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine_fixture.h"
#include "support/power_cut_file_system.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::namesIn;
using testing::readFile;
using testing::writeFile;

std::string described(const RecoveryReport& report) {
    return "finished locks " + std::to_string(report.finishedLocks) + ", discarded locks " +
           std::to_string(report.discardedLocks) + ", finished removals " +
           std::to_string(report.finishedRestores) + ", discarded removals " +
           std::to_string(report.discardedRestores) + ", kept originals " +
           std::to_string(report.keptChangedOriginals) + ", kept for later " +
           std::to_string(report.keptForLater);
}

// Steps to cut before, one test each; a cut past an operation's last step falls right after it.
// Raise it when an operation takes more steps (the last case then fails and says so).
constexpr int mostSteps = 38;

// Where the power goes, and how: losing every change nothing made durable, or keeping every
// name and losing only the file data nothing flushed.
struct Cut {
    int step;
    bool namesKept;
};

class PowerCutTest : public testing::EngineTest, public ::testing::WithParamInterface<Cut> {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        fs::create_directories(temp / "support");
        writeFile(plan / "notes.txt", "first draft");
        writeFile(plan / "sub/figures.csv", "1,2,3");
    }

    // From here on the engine runs on a file system whose power goes before step `step`.
    void cutPowerBefore(int step) {
        powerCut.emplace(temp.path());
        powerCut->cutBefore(step);
        locker.emplace(temp / "support", home, std::nullopt, tool,
                       LockerOptions{.fileSystem = &*powerCut});
    }

    // Whether a cut at this test's step falls on the operation or right after it; later steps
    // are the same case again.
    [[nodiscard]] bool cutFellWithin() const {
        EXPECT_FALSE(GetParam().step == mostSteps && powerCut->hasCut())
            << "the operation takes more than " << mostSteps << " steps: cut after each of them";
        return powerCut->hasCut() || GetParam().step == powerCut->stepsTaken() + 1;
    }

    // The machine goes down: every mount ends, the disk keeps only what was durable.
    void loseWhatWasNotDurable() {
        detachEverything();
        if (GetParam().namesKept) {
            powerCut->loseUnflushedData();
        } else {
            powerCut->restoreDurableState();
        }
    }

    void detachEverything() {
        for (const AttachedImage& image : tool.attachedImages()) {
            if (image.mountPoint.string().starts_with(temp.path().string() + "/")) {
                tool.detach(image.mountPoint, true);
            }
        }
    }

    // The next start: a fresh engine on the real file system runs recovery.
    RecoveryReport recoverAtTheNextStart() {
        locker.emplace(temp / "support", home, std::nullopt, tool);
        return locker->recover();
    }

    [[nodiscard]] static bool holdsTheContent(const fs::path& folder) {
        return fs::is_directory(fs::symlink_status(folder)) &&
               namesIn(folder) == std::vector<std::string>{"notes.txt", "sub"} &&
               readFile(folder / "notes.txt") == "first draft" &&
               namesIn(folder / "sub") == std::vector<std::string>{"figures.csv"} &&
               readFile(folder / "sub/figures.csv") == "1,2,3";
    }

    // Whether the locked item at `bundle` opens with the password and holds the content.
    bool lockedItemHoldsTheContent(const fs::path& bundle) {
        if (!fs::exists(fs::symlink_status(bundle))) {
            return false;
        }
        const fs::path mountPoint = makeMountPoint("check-" + std::to_string(++mounts));
        try {
            tool.attach(bundle, mountPoint, password, true);
        } catch (const std::exception&) {
            return false;
        }
        std::vector<std::string> names = namesIn(mountPoint);
        std::erase(names, ".tessela-item.json");
        std::erase(names, ".metadata_never_index");
        const bool whole = names == std::vector<std::string>{"notes.txt", "sub"} &&
                           readFile(mountPoint / "notes.txt") == "first draft" &&
                           readFile(mountPoint / "sub/figures.csv") == "1,2,3";
        tool.detach(mountPoint, true);
        fs::remove(mountPoint);
        return whole;
    }

    // The hidden names in Docs with this ending.
    std::vector<fs::path> hidden(std::string_view ending) const {
        std::vector<fs::path> found;
        for (const std::string& name : leftovers(home / "Docs")) {
            if (name.ends_with(ending)) {
                found.push_back(home / "Docs" / name);
            }
        }
        return found;
    }

    // What every next start must leave: no journal entry, no hidden name, no mount folder, and
    // a record exactly when there is a locked item.
    void expectSettled() {
        EXPECT_EQ(journal.load(), std::vector<JournalEntry>{}) << readFile(journal.fileURL());
        EXPECT_EQ(leftovers(home / "Docs"), std::vector<std::string>{});
        if (fs::exists(mountsRoot)) {
            EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
        }
        const std::vector<LockedItem> records = index.load();
        if (fs::exists(locked)) {
            ASSERT_EQ(records.size(), 1U);
            EXPECT_EQ(records[0].stage, LockedItem::Stage::complete);
        } else {
            EXPECT_EQ(records, std::vector<LockedItem>{});
        }
    }

    // Runs `operation` until the power goes, then checks that a whole copy of the content is
    // left (the original, the locked item, or the operation's hidden copy ending in
    // `hiddenEnding`) and that recovery at the next start settles everything.
    void runUntilThePowerGoes(const std::string& what, const std::function<void()>& operation,
                              std::string_view hiddenEnding) {
        try {
            operation();
        } catch (const std::exception&) {
            // The power went; what the engine said no longer matters.
        }
        if (!cutFellWithin()) {
            GTEST_SKIP() << "the " << what << " took " << powerCut->stepsTaken() << " steps";
        }
        SCOPED_TRACE("steps until the power went:\n" + powerCut->stepList());
        loseWhatWasNotDurable();

        bool somewhere = holdsTheContent(plan) || lockedItemHoldsTheContent(locked);
        for (const fs::path& copy : hidden(hiddenEnding)) {
            somewhere = somewhere || holdsTheContent(copy);
        }
        EXPECT_TRUE(somewhere) << "no whole copy after a power cut before step " << GetParam().step;

        const RecoveryReport report = recoverAtTheNextStart();
        SCOPED_TRACE("recovery: " + described(report));
        EXPECT_TRUE(holdsTheContent(plan) || lockedItemHoldsTheContent(locked));
        if (fs::exists(locked)) {
            EXPECT_TRUE(lockedItemHoldsTheContent(locked));
        }
        expectSettled();
    }

    const fs::path plan = home / "Docs/Plan";
    const fs::path locked = home / "Docs/Plan.tessvault";
    std::optional<testing::PowerCutFileSystem> powerCut;
};

TEST_P(PowerCutTest, LockKeepsTheContentWholeWhereverThePowerGoes) {
    cutPowerBefore(GetParam().step);
    runUntilThePowerGoes(
        "lock", [&] { (void)locker->lock(plan, password, 1); }, ".deleting");
}

TEST_P(PowerCutTest, LockRemovalKeepsTheContentWholeWhereverThePowerGoes) {
    (void)locker->lock(plan, password, 1);
    cutPowerBefore(GetParam().step);
    runUntilThePowerGoes(
        "removal", [&] { (void)locker->removeLock(locked, password); }, ".restoring");
}

std::vector<Cut> everyCut() {
    std::vector<Cut> cuts;
    for (const bool namesKept : {false, true}) {
        for (int step = 1; step <= mostSteps; ++step) {
            cuts.push_back({step, namesKept});
        }
    }
    return cuts;
}

void PrintTo(const Cut& cut, std::ostream* out) {
    *out << (cut.namesKept ? "names kept, " : "") << "before step " << cut.step;
}

INSTANTIATE_TEST_SUITE_P(EveryStep, PowerCutTest, ::testing::ValuesIn(everyCut()),
                         [](const ::testing::TestParamInfo<Cut>& cut) {
                             return (cut.param.namesKept ? "NamesKeptBeforeStep" : "BeforeStep") +
                                    std::to_string(cut.param.step);
                         });

}  // namespace
}  // namespace tessela
