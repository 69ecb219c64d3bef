// Moving locked items along: re-keying to a new password (with a crash half-way and the run
// that finishes it), the order of the items still to move, earlier-style names, and the repair
// pass, on real gocryptfs images.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/engine_fixture.h"
#include "engine/locked_look.h"
#include "engine/password_migration.h"
#include "journal/journal_entry.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::writeFile;

class PasswordChangeTest : public testing::EngineTest {
  protected:
    LockedItem lockFile(const std::string& name, const std::string& secret,
                        std::int64_t generation) {
        writeFile(home / "Docs" / name, "content of " + name);
        return locker->lock(home / "Docs" / name, secret, generation);
    }

    // A record for a bundle that is only a folder: enough for everything but opening it.
    LockedItem recordFor(const fs::path& bundle, const std::string& displayName,
                         std::int64_t generation, LockedItem::Kind kind = LockedItem::Kind::file) {
        fs::create_directories(bundle);
        LockedItem record;
        record.id = Uuid::random();
        record.displayName = displayName;
        record.kind = kind;
        record.passwordGeneration = generation;
        record = ItemIndex::refreshed(record, bundle);
        index().upsert(record);
        return record;
    }

    ItemIndex index() const { return ItemIndex(temp / "support" / ItemIndex::fileName); }

    std::int64_t generationOf(const Uuid& id) const {
        for (const LockedItem& record : index().load()) {
            if (record.id == id) {
                return record.passwordGeneration;
            }
        }
        return -1;
    }
};

TEST_F(PasswordChangeTest, RekeysEveryItemResumesAfterACrashAndSkipsWhatItMust) {
    const LockedItem first = lockFile("A.txt", "old password", 1);
    const LockedItem second = lockFile("B.txt", "old password", 1);
    const LockedItem gone = lockFile("C.txt", "old password", 1);
    const fs::path firstLocked = first.lastKnownPath;
    // Already re-keyed before its record was written; and one that is nowhere to be found.
    tool.changePassword(second.lastKnownPath, "old password", "new password");
    fs::remove_all(gone.lastKnownPath);

    // With an item open nothing is done.
    const OpenItem open = locker->unlock(firstLocked, "old password");
    EXPECT_THROW(
        try {
            (void)locker->changePassword("old password", "new password", 2);
        } catch (const TesselaError& error) {
            EXPECT_EQ(error.errorCase(), TesselaError::Case::needsAllLocked);
            throw;
        },
        TesselaError);
    locker->relock(open, false);

    restart({.crashPoint = CrashPoint::passwordAfterFirstItem});
    EXPECT_THROW((void)locker->changePassword("old password", "new password", 2), SimulatedCrash);
    EXPECT_EQ(generationOf(first.id), 2);
    EXPECT_EQ(generationOf(second.id), 1);

    restart();
    const std::map<Uuid, TesselaError> failures =
        locker->changePassword("old password", "new password", 2);
    ASSERT_EQ(failures.size(), 1U);
    EXPECT_EQ(failures.at(gone.id).errorCase(), TesselaError::Case::notFound);
    EXPECT_EQ(generationOf(second.id), 2);
    EXPECT_EQ(locker->itemsStillMigrating(2), std::vector<std::string>{"C.txt"});

    // The old password opens nothing any more, and no old key file is left to try it on.
    EXPECT_THROW((void)locker->unlock(firstLocked, "old password"), TesselaError);
    EXPECT_FALSE(fs::exists(firstLocked / "gocryptfs.conf.bak"));
    locker->relock(locker->unlock(firstLocked, "new password"), false);

    // An item adopted from elsewhere (generation 0) that the old password does not open is
    // neither changed nor reported, and holds nothing up while it is there.
    const LockedItem foreign = lockFile("D.txt", "someone else's", 0);
    const std::map<Uuid, TesselaError> next =
        locker->changePassword("new password", "newer password", 3);
    EXPECT_EQ(next.size(), 1U);  // C.txt, still missing
    EXPECT_EQ(generationOf(foreign.id), 0);
    EXPECT_EQ(generationOf(first.id), 3);
    EXPECT_EQ(locker->itemsStillMigrating(3), std::vector<std::string>{"C.txt"});
}

// The process changing the password is killed for real at each point the change can stop at: in
// the middle of a key file's rewrite (gocryptfs' half-written new key file left behind) and right
// after each gocryptfs run, before the item's record says so. Every item still opens with the old
// or the new password, and the change started again at the next start finishes.
TEST_F(PasswordChangeTest, AChangeKilledAtAnyItemOpensWithEitherPasswordAndFinishesNextTime) {
    const std::vector<LockedItem> items = {lockFile("A.txt", "password 1", 1),
                                           lockFile("B.txt", "password 1", 1),
                                           lockFile("C.txt", "password 1", 1)};
    // gocryptfs as the change runs it, counting its key changes; at the chosen one it kills
    // the process that ran it, during the run or after it.
    const fs::path count = temp / "key-changes";
    const fs::path killAt = temp / "kill-at";
    const fs::path wrapper = temp / "gocryptfs";
    writeFile(wrapper,
              "#!/bin/sh\n"
              "[ \"$1\" = -passwd ] || exec /usr/bin/gocryptfs \"$@\"\n"
              "n=$(( $(cat '" +
                  count.string() +
                  "') + 1 ))\n"
                  "echo $n > '" +
                  count.string() +
                  "'\n"
                  "read at when < '" +
                  killAt.string() +
                  "'\n"
                  "for image; do :; done\n"
                  "if [ $n = $at ] && [ $when = during ]; then\n"
                  "  printf '{\"Creator\": \"gocry' > \"$image/gocryptfs.conf.tmp\"\n"
                  "  kill -9 $PPID; exit 1\n"
                  "fi\n"
                  "/usr/bin/gocryptfs \"$@\"; status=$?\n"
                  "[ $n = $at ] && kill -9 $PPID\n"
                  "exit $status\n");
    fs::permissions(wrapper, fs::perms::owner_all);
    const DiskImageTool killing(DiskImageTool::Tools{.gocryptfs = wrapper.string()},
                                fastScryptCost);

    std::int64_t generation = 1;
    for (const char* when : {"during", "after"}) {
        for (int at = 1; at <= 3; ++at) {
            SCOPED_TRACE(std::string("killed ") + when + " key change " + std::to_string(at));
            const std::string before = "password " + std::to_string(generation);
            const std::string after = "password " + std::to_string(generation + 1);
            writeFile(count, "0");
            writeFile(killAt, std::to_string(at) + " " + when + "\n");
            const pid_t child = ::fork();
            ASSERT_NE(child, -1);
            if (child == 0) {
                Locker changing(temp / "support", home, std::nullopt, killing, {});
                (void)changing.changePassword(before, after, generation + 1);
                ::_exit(0);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

            for (const LockedItem& item : items) {
                bool opens = false;
                for (const std::string& candidate : {before, after}) {
                    try {
                        locker->relock(locker->unlock(item.lastKnownPath, candidate), false);
                        opens = true;
                    } catch (const TesselaError&) {
                    }
                }
                EXPECT_TRUE(opens) << item.displayName << " opens with neither password";
            }

            // The next start: the same change again, as a resumed move runs it.
            restart();
            EXPECT_EQ(locker->changePassword(before, after, generation + 1).size(), 0U);
            ++generation;
            for (const LockedItem& item : items) {
                EXPECT_EQ(generationOf(item.id), generation);
                EXPECT_FALSE(fs::exists(fs::path(item.lastKnownPath) / "gocryptfs.conf.tmp"));
                locker->relock(locker->unlock(item.lastKnownPath, after), false);
            }
        }
    }
}

TEST_F(PasswordChangeTest, ItemsStillMigratingComeInAFileManagersOrder) {
    (void)recordFor(home / "Docs/a.tessvault", "Item 10", 1);
    (void)recordFor(home / "Docs/b.tessvault", "item 2", 1);
    (void)recordFor(home / "Docs/c.tessvault", "Item 1", 1);
    const LockedItem adopted = recordFor(home / "Docs/d.tessvault", "Adopted", 0);
    (void)recordFor(home / "Docs/e.tessvault", "Current", 4);
    EXPECT_EQ(locker->itemsStillMigrating(4),
              (std::vector<std::string>{"Item 1", "item 2", "Item 10"}));
    fs::remove(home / "Docs/d.tessvault");  // generation 0 counts once it cannot be found
    EXPECT_EQ(locker->itemsStillMigrating(4),
              (std::vector<std::string>{"Adopted", "Item 1", "item 2", "Item 10"}));
    EXPECT_EQ(adopted.passwordGeneration, 0);
}

TEST_F(PasswordChangeTest, EarlierNamesMoveToTheCurrentNamingOnlyWhenTheyAreTheItems) {
    const fs::path docs = home / "Docs";
    const LockedItem plain = recordFor(docs / "Report.pdf.tessvault", "Report.pdf", 1);
    EXPECT_EQ(locker->migrateNameIfNeeded(docs / "Report.pdf.tessvault", plain),
              docs / "Report.tessvault");
    EXPECT_EQ(index().item(docs / "Report.tessvault")->id, plain.id);

    // A numbered duplicate keeps its number; when the name is taken the next free one is used.
    const LockedItem third = recordFor(docs / "Report.pdf 3.tessvault", "Report.pdf", 1);
    EXPECT_EQ(locker->migrateNameIfNeeded(docs / "Report.pdf 3.tessvault", third),
              docs / "Report 3.tessvault");
    const LockedItem again = recordFor(docs / "Report.pdf.tessvault", "Report.pdf", 1);
    EXPECT_EQ(locker->migrateNameIfNeeded(docs / "Report.pdf.tessvault", again),
              docs / "Report 2.tessvault");

    // Left alone: not a plain number, another name, a folder, and a link in the bundle's place.
    for (const std::string name : {"Report.pdf 02.tessvault", "Report.pdf 1.tessvault",
                                   "Report.pdf +4.tessvault", "Notes.tessvault"}) {
        const LockedItem other = recordFor(docs / name, "Report.pdf", 1);
        EXPECT_EQ(locker->migrateNameIfNeeded(docs / name, other), docs / name);
    }
    const LockedItem folder =
        recordFor(docs / "Photos.2024.tessvault", "Photos.2024", 1, LockedItem::Kind::folder);
    EXPECT_EQ(locker->migrateNameIfNeeded(docs / "Photos.2024.tessvault", folder),
              docs / "Photos.2024.tessvault");
    fs::create_directory(home / "elsewhere");
    fs::create_directory_symlink(home / "elsewhere", docs / "Budget.xlsx.tessvault");
    LockedItem linked = plain;
    linked.displayName = "Budget.xlsx";
    EXPECT_EQ(locker->migrateNameIfNeeded(docs / "Budget.xlsx.tessvault", linked),
              docs / "Budget.xlsx.tessvault");
    EXPECT_TRUE(fs::is_symlink(docs / "Budget.xlsx.tessvault"));
    EXPECT_EQ(PasswordMigration::unmigratedSuffix("Report.pdf -3", "Report.pdf"), std::nullopt);
}

TEST_F(PasswordChangeTest, RepairRenamesOnlyItemsWithoutWorkInFlightAndNeverFails) {
    const fs::path docs = home / "Docs";
    const LockedItem settled = recordFor(docs / "Report.pdf.tessvault", "Report.pdf", 1);
    const LockedItem busy = recordFor(docs / "Budget.xlsx.tessvault", "Budget.xlsx", 1);
    (void)recordFor(docs / "Missing.txt.tessvault", "Missing.txt", 1);
    fs::remove(docs / "Missing.txt.tessvault");
    const OperationJournal operations(temp / "support" / OperationJournal::fileName);
    JournalEntry entry;
    entry.id = busy.id;
    entry.kind = JournalEntry::Kind::restore;
    entry.originalPath = (docs / "Budget.xlsx.tessvault").string();
    operations.add(entry);

    // Whether or not the desktop keeps the locked-item look, the pass goes on to the end.
    EXPECT_TRUE(locker->repairLockedItems());
    EXPECT_TRUE(fs::exists(docs / "Report.tessvault"));
    EXPECT_TRUE(fs::exists(docs / "Budget.xlsx.tessvault"));
    EXPECT_EQ(index().item(docs / "Report.tessvault")->id, settled.id);
    EXPECT_FALSE(locker->repairLockedItems());  // nothing left to rename

    // An open item keeps its name: its mount finds its encrypted folder by path.
    const LockedItem real = lockFile("Notes.txt", "a password", 1);
    const fs::path earlier = docs / "Notes.txt.tessvault";
    fs::rename(real.lastKnownPath, earlier);
    index().upsert(ItemIndex::refreshed(real, earlier));
    // An item locked before locked items carried their note gets it once it is closed.
    fs::remove(earlier / LockedLook::guideName);
    const OpenItem open = locker->unlock(earlier, "a password");
    EXPECT_FALSE(locker->repairLockedItems());
    EXPECT_TRUE(fs::exists(earlier));
    EXPECT_FALSE(fs::exists(earlier / LockedLook::guideName));
    EXPECT_EQ(testing::readFile(open.contentURL()), "content of Notes.txt");
    locker->relock(open, false);
    EXPECT_TRUE(locker->repairLockedItems());
    EXPECT_TRUE(fs::exists(docs / "Notes.tessvault" / LockedLook::guideName));
    EXPECT_FALSE(fs::exists(docs / "Report.tessvault" / LockedLook::guideName));  // no container
    const OpenItem again = locker->unlock(docs / "Notes.tessvault", "a password");
    EXPECT_EQ(testing::readFile(again.contentURL()), "content of Notes.txt");
    locker->relock(again, false);
    operations.remove(busy.id);
}

}  // namespace
}  // namespace tessela
