#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "checks/tree_verifier.h"
#include "engine/engine_fixture.h"
#include "engine/mounts_folder.h"
#include "engine/recovery.h"
#include "text/log.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::namesIn;
using testing::readFile;
using testing::writeFile;

class RecoverTest : public testing::EngineTest {
  protected:
    // Recovery as the next start runs it: a fresh engine on the same support folder.
    RecoveryReport recoverAfterRestart() {
        Locker fresh(temp / "support", home, std::nullopt, tool);
        return fresh.recover();
    }

    // The locked item's content, read through a read-only mount.
    std::string lockedContent(const fs::path& locked, const std::string& name) {
        const fs::path mountPoint = makeMountPoint("check-" + std::to_string(++checks));
        tool.attach(locked, mountPoint, password, true);
        const std::string content = readFile(mountPoint / name);
        tool.detach(mountPoint, false);
        return content;
    }

    void expectNoLeftovers() {
        EXPECT_EQ(leftovers(home / "Docs"), std::vector<std::string>{});
        EXPECT_EQ(readFile(journal.fileURL()), "[]");
        if (fs::exists(mountsRoot)) {
            EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
        }
        for (const AttachedImage& image : tool.attachedImages()) {
            EXPECT_FALSE(image.mountPoint.string().starts_with(mountsRoot.string()))
                << image.mountPoint;
        }
    }

    // A journal entry for a lock whose item lived on a disk that is not there now.
    void addUnpluggedEntry(const std::string& name) {
        const Uuid id = Uuid::random();
        journal.add(
            JournalEntry(id, JournalEntry::Kind::lock, "/media/nobody/Gone/" + name,
                         "/media/nobody/Gone/.tessela-" + id.string() + ".partial.sparsebundle",
                         "/media/nobody/Gone/" + name + ".tessvault", std::nullopt));
    }

    int checks = 0;
};

struct CrashCase {
    CrashPoint point;
    RecoveryReport report;
    const char* body;
    bool locked;          // afterwards the content is in a locked item, else plain
    std::size_t records;  // records in the index afterwards
};

void PrintTo(const CrashCase& crashCase, std::ostream* out) {
    *out << rawValue(crashCase.point);
}

RecoveryReport counts(int finishedLocks, int discardedLocks, int finishedRestores,
                      int discardedRestores) {
    RecoveryReport report;
    report.finishedLocks = finishedLocks;
    report.discardedLocks = discardedLocks;
    report.finishedRestores = finishedRestores;
    report.discardedRestores = discardedRestores;
    return report;
}

constexpr const char* stoppedLock =
    "It stopped 1 unfinished lock and left that original unchanged.";
constexpr const char* finishedLock = "It finished locking 1 item.";
constexpr const char* stoppedRemoval =
    "It stopped 1 unfinished lock removal. That item is still locked.";
constexpr const char* finishedRemoval = "It finished removing the lock from 1 item.";

const CrashCase crashCases[] = {
    {CrashPoint::lockAfterCreate, counts(0, 1, 0, 0), stoppedLock, false, 0},
    {CrashPoint::lockAfterCopy, counts(0, 1, 0, 0), stoppedLock, false, 0},
    {CrashPoint::lockAfterVerify, counts(0, 1, 0, 0), stoppedLock, false, 0},
    {CrashPoint::lockBeforeRename, counts(0, 1, 0, 0), stoppedLock, false, 0},
    // No record had been stored yet: recovery stores one for the locked item it finished.
    {CrashPoint::lockAfterMove, counts(1, 0, 0, 0), finishedLock, true, 1},
    {CrashPoint::lockAfterRename, counts(1, 0, 0, 0), finishedLock, true, 1},
    {CrashPoint::lockAfterRenameToDeleting, counts(1, 0, 0, 0), finishedLock, true, 1},
    {CrashPoint::lockAfterDeleteOriginal, counts(1, 0, 0, 0), finishedLock, true, 1},
    {CrashPoint::restoreAfterCopy, counts(0, 0, 0, 1), stoppedRemoval, true, 1},
    {CrashPoint::restoreBeforeRename, counts(0, 0, 0, 1), stoppedRemoval, true, 1},
    {CrashPoint::restoreAfterRename, counts(0, 0, 1, 0), finishedRemoval, false, 0},
    {CrashPoint::restoreAfterDeleteLocked, counts(0, 0, 1, 0), finishedRemoval, false, 0},
};

class RecoverCrashTest : public RecoverTest, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(RecoverCrashTest, ContentExistsExactlyOnceAfterRecovery) {
    const CrashCase& expected = GetParam();
    const bool removal =
        static_cast<int>(expected.point) >= static_cast<int>(CrashPoint::restoreAfterCopy);
    writeFile(home / "Docs/Report.pdf", "the only copy");
    if (removal) {
        (void)locker->lock(home / "Docs/Report.pdf", password, 1);
    }
    restart({.crashPoint = expected.point});
    EXPECT_THROW(removal ? (void)locker->removeLock(home / "Docs/Report.tessvault", password)
                         : (void)locker->lock(home / "Docs/Report.pdf", password, 1),
                 SimulatedCrash);

    const RecoveryReport report = recoverAfterRestart();
    EXPECT_EQ(report, expected.report);
    const auto notice = report.notice();
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->title, "Tessela finished interrupted work");
    EXPECT_EQ(notice->body, expected.body);

    expectNoLeftovers();
    const std::vector<LockedItem> records = index.load();
    ASSERT_EQ(records.size(), expected.records);
    for (const LockedItem& record : records) {
        EXPECT_EQ(record.stage, LockedItem::Stage::complete);
        EXPECT_EQ(record.originalPath, std::nullopt);
    }
    if (expected.locked) {
        EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Report.tessvault"});
        EXPECT_EQ(lockedContent(home / "Docs/Report.tessvault", "Report.pdf"), "the only copy");
    } else {
        EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Report.pdf"});
        EXPECT_EQ(readFile(home / "Docs/Report.pdf"), "the only copy");
    }
    // A second start finds nothing left to do.
    EXPECT_EQ(recoverAfterRestart(), RecoveryReport{});
}

INSTANTIATE_TEST_SUITE_P(EveryCrashPoint, RecoverCrashTest, ::testing::ValuesIn(crashCases),
                         [](const ::testing::TestParamInfo<CrashCase>& crash) {
                             return std::string(rawValue(crash.param.point));
                         });

TEST_F(RecoverTest, OriginalEditedAfterTheLockStaysNextToIt) {
    writeFile(home / "Docs/Report.pdf", "before");
    restart({.crashPoint = CrashPoint::lockAfterRename});
    EXPECT_THROW((void)locker->lock(home / "Docs/Report.pdf", password, 1), SimulatedCrash);
    writeFile(home / "Docs/Report.pdf", "edited afterwards");
    fs::last_write_time(home / "Docs/Report.pdf",
                        fs::file_time_type::clock::now() + std::chrono::seconds(5));

    const RecoveryReport report = recoverAfterRestart();
    RecoveryReport expected = counts(1, 0, 0, 0);
    expected.keptChangedOriginals = 1;
    EXPECT_EQ(report, expected);
    EXPECT_EQ(report.notice()->body,
              "It finished locking 1 item. 1 original changed after Tessela locked it, so "
              "Tessela kept it next to the locked copy.");
    EXPECT_EQ(readFile(home / "Docs/Report.pdf"), "edited afterwards");
    EXPECT_EQ(lockedContent(home / "Docs/Report.tessvault", "Report.pdf"), "before");
    EXPECT_EQ(index.load().at(0).stage, LockedItem::Stage::complete);
}

TEST_F(RecoverTest, EntriesForAMissingDiskAreKeptForLater) {
    addUnpluggedEntry("Photos");
    RecoveryReport report = recoverAfterRestart();
    EXPECT_EQ(report.keptForLater, 1);
    EXPECT_EQ(report.notice(),
              (RecoveryNotice{"Tessela has unfinished work",
                              "It could not finish 1 interrupted job yet and will try again next "
                              "time it opens."}));
    EXPECT_EQ(journal.load().size(), 1U);

    addUnpluggedEntry("Music");
    report = recoverAfterRestart();
    EXPECT_EQ(report.notice()->body,
              "It could not finish 2 interrupted jobs yet and will try again next time it opens.");
    EXPECT_EQ(journal.load().size(), 2U);
}

TEST_F(RecoverTest, DamagedJournalIsSetAsideAndReported) {
    writeFile(journal.fileURL(), "[{\"kind\": \"teleport\"}]");
    const RecoveryReport report = recoverAfterRestart();
    EXPECT_TRUE(report.journalWasDamaged);
    EXPECT_EQ(report.notice(),
              (RecoveryNotice{"Tessela set a damaged file aside",
                              "Tessela's record of unfinished work was damaged, so it set the "
                              "record aside and changed nothing."}));
    EXPECT_FALSE(fs::exists(journal.fileURL()));
}

TEST_F(RecoverTest, DamagedIndexIsReportedAndOpenItemsAreAdopted) {
    writeFile(home / "Docs/Report.pdf", "content");
    const fs::path locked = locker->lock(home / "Docs/Report.pdf", password, 1).lastKnownPath;
    const OpenItem open = locker->unlock(locked, password);
    writeFile(index.fileURL(), "{}");

    const RecoveryReport report = recoverAfterRestart();
    EXPECT_TRUE(report.indexWasDamaged);
    EXPECT_EQ(report.notice()->title, "Tessela set a damaged file aside");
    EXPECT_EQ(report.notice()->body,
              "Tessela's list of locked items was damaged, so it set the list aside and started "
              "a new one. Your locked items are safe and appear in the list again when you "
              "unlock them.");
    EXPECT_EQ(locker->openItems().size(), 1U);
    EXPECT_EQ(locker->openItems()[0].id, open.id);
}

TEST_F(RecoverTest, StaleMountOfUnknownItemIsDetachedWithoutNotice) {
    writeFile(home / "Docs/Report.pdf", "content");
    const fs::path locked = locker->lock(home / "Docs/Report.pdf", password, 1).lastKnownPath;
    const fs::path stale = mountsRoot / Uuid::random().string();
    MountsFolder(mountsRoot, FileSystem::real()).make(stale);
    tool.attach(locked, stale, password, true);
    MountsFolder(mountsRoot, FileSystem::real()).make(mountsRoot / "empty leftover");

    const RecoveryReport report = recoverAfterRestart();
    RecoveryReport expected;
    expected.detachedStale = 1;
    EXPECT_EQ(report, expected);
    EXPECT_EQ(report.notice(), std::nullopt);
    EXPECT_FALSE(isMounted(stale));
    EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
}

// What a crash or a volume detached behind the engine's back leaves in the mounts folder: a
// shown folder whose mount folder is still there, unmounted, and one whose mount folder is gone.
// Recovery removes both and keeps the shown folder of the item that is still open.
TEST_F(RecoverTest, ShownFoldersOfClosedItemsGoAndThoseOfOpenItemsStay) {
    writeFile(home / "Docs/Taxes/return.txt", "numbers");
    writeFile(home / "Docs/Plan/steps.txt", "steps");
    writeFile(home / "Docs/Report.pdf", "figures");
    const OpenItem ejected =
        locker->unlock(locker->lock(home / "Docs/Taxes", password, 1).lastKnownPath, password);
    const OpenItem halfClosed =
        locker->unlock(locker->lock(home / "Docs/Plan", password, 1).lastKnownPath, password);
    const OpenItem open =
        locker->unlock(locker->lock(home / "Docs/Report.pdf", password, 1).lastKnownPath, password);
    tool.detach(ejected.mountPoint, false);
    tool.detach(halfClosed.mountPoint, false);
    whileMountsFolderWritable([&] { ASSERT_TRUE(fs::remove(halfClosed.mountPoint)); });
    ASSERT_TRUE(fs::is_symlink(*halfClosed.shownFolder));

    EXPECT_EQ(recoverAfterRestart(), RecoveryReport{});
    std::vector<std::string> left{open.id.string(), open.shownFolder->filename().string()};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(namesIn(mountsRoot), left);
    EXPECT_EQ(testing::permissions(mountsRoot), 0500U);
    EXPECT_EQ(locker->openItems(), std::vector<OpenItem>{open});
    EXPECT_EQ(readFile(open.contentURL()), "figures");
    locker->relock(open, false);
    expectNoLeftovers();
}

TEST_F(RecoverTest, InterruptedRemovalOfAMovedItemFindsItThroughItsBookmark) {
    writeFile(home / "Docs/Report.pdf", "content");
    (void)locker->lock(home / "Docs/Report.pdf", password, 1);
    restart({.crashPoint = CrashPoint::restoreAfterCopy});
    EXPECT_THROW((void)locker->removeLock(home / "Docs/Report.tessvault", password),
                 SimulatedCrash);
    // The user moves the locked item before the next start (its volume is still attached).
    fs::create_directories(home / "Docs/Archive");
    fs::rename(home / "Docs/Report.tessvault", home / "Docs/Archive/Report.tessvault");

    const RecoveryReport report = recoverAfterRestart();
    EXPECT_EQ(report.discardedRestores, 1);
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Archive"});
    EXPECT_EQ(lockedContent(home / "Docs/Archive/Report.tessvault", "Report.pdf"), "content");
}

// A damaged or crafted entry names someone else's files: recovery deletes only the hidden names
// its own operations make, and a locked item only for a restored copy it recorded.
TEST_F(RecoverTest, EntriesNamingOtherFilesNeverDeleteThem) {
    writeFile(home / "Docs/Report.pdf", "locked content");
    const fs::path locked = locker->lock(home / "Docs/Report.pdf", password, 1).lastKnownPath;
    writeFile(home / "Docs/Notes.txt", "unrelated");
    writeFile(home / "Docs/Photos/a.jpg", "photo");

    const Uuid restoreId = Uuid::random();
    journal.add(
        JournalEntry(restoreId, JournalEntry::Kind::restore, locked.string(),
                     (home / "Docs" / (".tessela-" + restoreId.string() + ".restoring")).string(),
                     (home / "Docs/Notes.txt").string(), FileIdentity::of(locked)));
    const Uuid lockId = Uuid::random();
    journal.add(JournalEntry(lockId, JournalEntry::Kind::lock, (home / "Docs/Photos.jpg").string(),
                             (home / "Docs/Photos").string(),
                             (home / "Docs/Photos.tessvault").string(), std::nullopt));

    (void)recoverAfterRestart();
    EXPECT_EQ(lockedContent(locked, "Report.pdf"), "locked content");
    EXPECT_EQ(readFile(home / "Docs/Notes.txt"), "unrelated");
    EXPECT_EQ(readFile(home / "Docs/Photos/a.jpg"), "photo");
}

// Recovery acts on the very bytes of the names the lock made, never on a repaired form that may
// be another item's name.
TEST_F(RecoverTest, NamesThatAreNotUtf8AreRecoveredExactly) {
    writeFile(home / "Docs/dossier\xff/a.txt", "to be locked");
    writeFile(home / "Docs/dossier\xEF\xBF\xBD/b.txt", "someone else's");
    restart({.crashPoint = CrashPoint::lockAfterRename});
    EXPECT_THROW((void)locker->lock(home / "Docs/dossier\xff", password, 1), SimulatedCrash);

    const RecoveryReport report = recoverAfterRestart();
    EXPECT_EQ(report.finishedLocks, 1);
    EXPECT_EQ(readFile(home / "Docs/dossier\xEF\xBF\xBD/b.txt"), "someone else's");
    EXPECT_EQ(namesIn(home / "Docs"),
              (std::vector<std::string>{"dossier\xEF\xBF\xBD", "dossier\xff.tessvault"}));
}

TEST_F(RecoverTest, PartialImageOfALockWhoseCleanUpFailedIsRemovedAtTheNextStart) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root may delete in a read-only folder";
    }
    writeFile(home / "Docs/Report.pdf", "content");
    afterVerification([&] {
        ::chmod((home / "Docs").c_str(), 0555);
        throw std::system_error(EIO, std::generic_category(), "injected");
    });
    EXPECT_THROW((void)locker->lock(home / "Docs/Report.pdf", password, 1), std::system_error);
    ::chmod((home / "Docs").c_str(), 0755);
    EXPECT_EQ(leftovers(home / "Docs").size(), 1U);

    EXPECT_EQ(recoverAfterRestart().discardedLocks, 1);
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Report.pdf"});
    expectNoLeftovers();
}

TEST_F(RecoverTest, FinishingARemovalFlushesTheRestoredCopyBeforeTheLockedItemGoes) {
    writeFile(home / "Docs/Report.pdf", "the only copy");
    const fs::path locked = locker->lock(home / "Docs/Report.pdf", password, 1).lastKnownPath;
    restart({.crashPoint = CrashPoint::restoreAfterRename});
    EXPECT_THROW((void)locker->removeLock(locked, password), SimulatedCrash);

    restart();
    std::vector<bool> lockedItemThere;
    beforeFlush([&](const fs::path&) { lockedItemThere.push_back(fs::exists(locked)); });
    EXPECT_EQ(locker->recover().finishedRestores, 1);
    EXPECT_EQ(lockedItemThere, std::vector<bool>{true});
    EXPECT_FALSE(fs::exists(locked));
    EXPECT_EQ(readFile(home / "Docs/Report.pdf"), "the only copy");
}

// Saved to through a file still open after the lock renamed it away, the original is newer than
// the locked copy: recovery puts it back instead of deleting it.
TEST_F(RecoverTest, RenamedOriginalChangedSinceTheLockIsPutBack) {
    writeFile(home / "Docs/Report.pdf", "before");
    restart({.crashPoint = CrashPoint::lockAfterRenameToDeleting});
    EXPECT_THROW((void)locker->lock(home / "Docs/Report.pdf", password, 1), SimulatedCrash);
    const fs::path deleting = *journal.load().at(0).deletingPath;
    const auto later = fs::file_time_type::clock::now() + std::chrono::seconds(5);
    writeFile(deleting, "after");
    fs::last_write_time(deleting, later);

    const RecoveryReport report = recoverAfterRestart();
    EXPECT_EQ(report.keptChangedOriginals, 1);
    EXPECT_EQ(report.finishedLocks, 1);
    EXPECT_EQ(readFile(home / "Docs/Report.pdf"), "after");
    EXPECT_EQ(lockedContent(home / "Docs/Report.tessvault", "Report.pdf"), "before");
    expectNoLeftovers();
}

// A save that lands after the verification, just before a crash, is in the original only:
// recovery keeps that original, whatever the clock says about the lock's time.
TEST_F(RecoverTest, OriginalSavedToAfterTheVerificationIsKeptAfterACrash) {
    writeFile(home / "Docs/Plan/notes.txt", "first draft");
    afterPlacing([&](const fs::path&) {
        writeFile(home / "Docs/Plan/notes.txt", "LATE WRITE!");
        throw SimulatedCrash();
    });
    EXPECT_THROW((void)locker->lock(home / "Docs/Plan", password, 1), SimulatedCrash);

    const RecoveryReport report = recoverAfterRestart();
    EXPECT_EQ(report.keptChangedOriginals, 1);
    EXPECT_EQ(readFile(home / "Docs/Plan/notes.txt"), "LATE WRITE!");
    EXPECT_TRUE(fs::exists(home / "Docs/Plan.tessvault"));
}

// Cut short while deleting the verified original, with a new file saved into it meanwhile: the
// next start finishes the deletion of what was verified and puts the new file back in view.
TEST_F(RecoverTest, DeletionCutShortIsFinishedWithoutTakingWhatArrivedLater) {
    writeFile(home / "Docs/Plan/a.txt", "alpha");
    writeFile(home / "Docs/Plan/sub/b.txt", "beta");
    beforeDeletingOriginal([](const fs::path& deleting) {
        fs::remove(deleting / "a.txt");
        writeFile(deleting / "sub/new work.txt", "written after the check");
        throw SimulatedCrash();
    });
    EXPECT_THROW((void)locker->lock(home / "Docs/Plan", password, 1), SimulatedCrash);

    const RecoveryReport report = recoverAfterRestart();
    EXPECT_EQ(report.finishedLocks, 1);
    EXPECT_EQ(report.keptChangedOriginals, 1);
    EXPECT_EQ(namesIn(home / "Docs/Plan"), std::vector<std::string>{"sub"});
    EXPECT_EQ(namesIn(home / "Docs/Plan/sub"), std::vector<std::string>{"new work.txt"});
    EXPECT_EQ(lockedContent(home / "Docs/Plan.tessvault", "sub/b.txt"), "beta");
    expectNoLeftovers();
}

// The log's lines while it lives; the sink goes with it, also when a test fails.
class CapturedLog {
  public:
    CapturedLog() {
        setLogSink([this](const LogLine& line) { lines.push_back(line); });
    }
    ~CapturedLog() { setLogSink({}); }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::vector<LogLine> lines;
};

// A step recovery cannot take is skipped, the rest of the start goes on, and the log says what
// was skipped and why, with a path that is not UTF-8 repaired to text.
TEST_F(RecoverTest, UnreadableJournalIsSkippedAndTheLogSaysWhy) {
    const fs::path support = temp / "records\xff";
    // A folder where the journal belongs: it opens, but cannot be read.
    fs::create_directories(support / OperationJournal::fileName);
    const CapturedLog log;
    EXPECT_EQ(Locker(support, home, std::nullopt, tool).recover(), RecoveryReport{});
    EXPECT_TRUE(fs::is_directory(support / OperationJournal::fileName));

    const LogLine expected{
        LogLevel::warning, LogArea::engine,
        "Recovery could not read the journal, so no interrupted work is "
        "finished or undone now: read " +
            (temp / "records\xEF\xBF\xBD" / OperationJournal::fileName).string() +
            ": Is a directory"};
    std::string logged;
    for (const LogLine& line : log.lines) {
        logged += std::string(rawValue(line.level)) + ": " + line.text + "\n";
    }
    EXPECT_NE(std::find(log.lines.begin(), log.lines.end(), expected), log.lines.end()) << logged;
}

TEST(ChangedSinceTest, ComparesAtNanosecondsAgainstLockTimePlusOneSecond) {
    testing::TempFolder temp;
    writeFile(temp / "Item/inner.txt", "x");
    const Timestamp lockTime{std::chrono::seconds{1'700'000'000}};
    const auto setTimes = [](const fs::path& path, long seconds, long nanoseconds) {
        const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    };
    // Status-change times are always now, so judge modification times through a far lock time.
    const Timestamp future = std::chrono::floor<std::chrono::seconds>(
        std::chrono::system_clock::now() + std::chrono::hours(1));
    const long limit = static_cast<long>(future.time_since_epoch().count()) + 1;
    setTimes(temp / "Item/inner.txt", limit, 0);
    setTimes(temp / "Item", limit - 5, 0);
    EXPECT_FALSE(Recovery::changedSince(temp / "Item", future));
    setTimes(temp / "Item/inner.txt", limit, 1);
    EXPECT_TRUE(Recovery::changedSince(temp / "Item", future));
    EXPECT_TRUE(Recovery::changedSince(temp / "Item", lockTime));
    EXPECT_TRUE(Recovery::changedSince(temp / "missing", future));
}

TEST(RecoveryNoticeTest, PluralLinesAndTitles) {
    RecoveryReport report;
    EXPECT_EQ(report.notice(), std::nullopt);
    report.detachedStale = 3;
    EXPECT_EQ(report.notice(), std::nullopt);
    report.finishedLocks = 2;
    report.discardedLocks = 2;
    report.finishedRestores = 3;
    report.discardedRestores = 2;
    report.keptChangedOriginals = 2;
    report.keptForLater = 2;
    EXPECT_EQ(report.notice()->title, "Tessela finished interrupted work");
    EXPECT_EQ(report.notice()->body,
              "It finished locking 2 items. It stopped 2 unfinished locks and left those "
              "originals unchanged. It finished removing the lock from 3 items. It stopped 2 "
              "unfinished lock removals. Those items are still locked. 2 originals changed after "
              "Tessela locked them, so Tessela kept them next to the locked copies. It could not "
              "finish 2 interrupted jobs yet and will try again next time it opens.");
}

}  // namespace
}  // namespace tessela
