#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "checks/tree_verifier.h"
#include "engine/engine_fixture.h"
#include "engine/locked_names.h"
#include "engine/mounts_folder.h"
#include "files/item_facts.h"
#include "records/volume_layout.h"
#include "support/child_process.h"
#include "support/sealed_files.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::durabilityOrder;
using testing::namesIn;
using testing::readFile;
using testing::writeFile;

class OpenRemoveTest : public testing::EngineTest {
  protected:
    // Runs `action` once a lock removal has copied the content into its hidden folder (given),
    // before it verifies the copy: at the end of a folder's copy, when the hidden folder gets
    // its mode, or, for a file, at the next change the removal makes.
    void afterRestoreCopy(std::function<void(const fs::path&)> action) {
        using testing::FileSystemStep;
        fileSystem.beforeStep = [action = std::move(action), hidden = fs::path(),
                                 done = false](const FileSystemStep& step) mutable {
            if (step.kind == FileSystemStep::Kind::makeFolder &&
                step.path.filename().string().ends_with(".restoring")) {
                hidden = step.path;
            } else if (!done && !hidden.empty() &&
                       ((step.kind == FileSystemStep::Kind::changeMode && step.path == hidden) ||
                        step.kind == FileSystemStep::Kind::writePrivately)) {
                done = true;
                action(hidden);
            }
        };
    }

    // Locks `name` (written with `content`) in Docs and returns the locked item's path.
    fs::path lockedFile(const std::string& name, const std::string& content) {
        writeFile(home / "Docs" / name, content);
        return locker->lock(home / "Docs" / name, password, 1).lastKnownPath;
    }

    // A bundle with content but no marker and no record, as a copy from elsewhere without its
    // record might be.
    fs::path foreignBundle(const std::string& name) {
        const fs::path image = createImage("foreign");
        const fs::path mountPoint = makeMountPoint("foreign-mount");
        tool.attach(image, mountPoint, password, false);
        writeFile(mountPoint / "inside.txt", "from elsewhere");
        tool.detach(mountPoint, false);
        const fs::path bundle = home / "Docs" / name;
        fs::rename(image, bundle);
        return bundle;
    }

    // This test's own mounts: other tests mount and unmount beside it at the same time.
    std::size_t mountCount() {
        const std::vector<AttachedImage> images = tool.attachedImages();
        return static_cast<std::size_t>(
            std::count_if(images.begin(), images.end(), [&](const AttachedImage& image) {
                return image.mountPoint.string().starts_with(temp.path().string() + "/");
            }));
    }
};

TEST_F(OpenRemoveTest, UnlockEditRelockAndUnlockAgainSeesTheEdit) {
    const fs::path locked = lockedFile("Report.pdf", "first");
    const OpenItem open = locker->unlock(locked, password);
    EXPECT_EQ(open.name, "Report.pdf");
    EXPECT_EQ(open.kind, LockedItem::Kind::file);
    EXPECT_EQ(open.mountPoint, mountsRoot / open.id.string());
    const std::string shown = "Report.pdf (" + open.id.string().substr(0, 8) + ")";
    EXPECT_EQ(open.shownFolder, mountsRoot / shown);
    EXPECT_EQ(open.contentURL(), mountsRoot / shown / "Report.pdf");
    EXPECT_EQ(readFile(open.contentURL()), "first");
    writeFile(open.contentURL(), "edited while open");
    EXPECT_EQ(locker->openItems(), std::vector<OpenItem>{open});

    const std::size_t before = mountCount();
    EXPECT_EQ(locker->unlock(locked, password), open);  // attaches nothing new
    EXPECT_EQ(mountCount(), before);

    locker->relock(open, false);
    EXPECT_FALSE(fs::exists(open.mountPoint));
    EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
    EXPECT_EQ(locker->openItems(), std::vector<OpenItem>{});
    const OpenItem again = locker->unlock(locked, password);
    EXPECT_EQ(readFile(again.contentURL()), "edited while open");
    locker->relock(again, false);
}

// Each open item is seen in a folder of its own name and id, "Taxes (9B1C813B)", that leads into
// its volume; relocking one takes only its own folder away, and that path never leads into
// another item.
TEST_F(OpenRemoveTest, OpenItemsOfOneNameAreShownApartAndAPathNeverLeadsIntoAnotherItem) {
    writeFile(home / "Docs/Taxes/return.txt", "2023");
    writeFile(home / "Archive/Taxes/return.txt", "2019");
    const fs::path recent = locker->lock(home / "Docs/Taxes", password, 1).lastKnownPath;
    const fs::path older = locker->lock(home / "Archive/Taxes", password, 1).lastKnownPath;
    const OpenItem first = locker->unlock(recent, password);
    const OpenItem second = locker->unlock(older, password);

    const auto shown = [](const OpenItem& item) {
        return "Taxes (" + item.id.string().substr(0, 8) + ")";
    };
    EXPECT_EQ(first.contentURL(), mountsRoot / shown(first));
    EXPECT_EQ(second.contentURL(), mountsRoot / shown(second));
    EXPECT_EQ(fs::read_symlink(mountsRoot / shown(second)), second.id.string());
    EXPECT_EQ(readFile(first.contentURL() / "return.txt"), "2023");
    EXPECT_EQ(readFile(second.contentURL() / "return.txt"), "2019");
    writeFile(second.contentURL() / "receipts.txt", "kept");
    EXPECT_EQ(readFile(second.mountPoint / "receipts.txt"), "kept");
    EXPECT_EQ(testing::permissions(mountsRoot), 0500U);
    std::vector<OpenItem> listed = locker->openItems();
    const auto byId = [](const OpenItem& a, const OpenItem& b) { return a.id < b.id; };
    std::sort(listed.begin(), listed.end(), byId);
    std::vector<OpenItem> both{first, second};
    std::sort(both.begin(), both.end(), byId);
    EXPECT_EQ(listed, both);

    // The first locked again: a save to the path it had fails, then and once the other item
    // of that name is open again; it never lands in the other item.
    locker->relock(first, false);
    std::vector<std::string> left{second.id.string(), shown(second)};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(namesIn(mountsRoot), left);
    EXPECT_EQ(locker->openItems(), std::vector<OpenItem>{second});
    EXPECT_NE(::open((first.contentURL() / "return.txt").c_str(), O_WRONLY | O_TRUNC), 0);
    locker->relock(second, true);  // forced, it takes its shown folder away all the same
    EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
    const OpenItem reopened = locker->unlock(older, password);
    EXPECT_FALSE(fs::exists(first.contentURL()));
    EXPECT_EQ(readFile(reopened.contentURL() / "receipts.txt"), "kept");
    EXPECT_EQ(reopened.shownFolder, second.shownFolder);  // the same path, every time
    locker->relock(reopened, false);
}

// An item opened by a version that made no shown folder is listed and used at its mount folder;
// unlocking it again shows it by its name, and relocking the item as it was listed removes that.
TEST_F(OpenRemoveTest, ItemOpenedWithoutAShownFolderWorksAtItsMountFolder) {
    const fs::path locked = lockedFile("Report.pdf", "figures");
    const OpenItem open = locker->unlock(locked, password);
    whileMountsFolderWritable([&] { ASSERT_TRUE(fs::remove(*open.shownFolder)); });
    OpenItem unshown = open;
    unshown.shownFolder.reset();
    EXPECT_EQ(locker->openItems(), std::vector<OpenItem>{unshown});
    EXPECT_EQ(unshown.contentURL(), open.mountPoint / "Report.pdf");
    EXPECT_EQ(readFile(unshown.contentURL()), "figures");

    EXPECT_EQ(locker->unlock(locked, password), open);
    locker->relock(unshown, false);
    EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
}

// A link at an item's mount folder name is never taken for the mount folder: nothing is mounted
// where it leads.
TEST_F(OpenRemoveTest, LinkAtTheMountFoldersNameIsNeverMountedThrough) {
    const fs::path locked = lockedFile("Report.pdf", "secret");
    const std::string id = index.item(locked)->id.string();
    fs::create_directories(temp / "elsewhere");
    whileMountsFolderWritable(
        [&] { fs::create_directory_symlink(temp / "elsewhere", mountsRoot / id); });
    EXPECT_THROW((void)locker->unlock(locked, password), std::system_error);
    EXPECT_FALSE(isMounted(temp / "elsewhere"));
    EXPECT_EQ(namesIn(temp / "elsewhere"), std::vector<std::string>{});
    EXPECT_EQ(testing::permissions(mountsRoot), 0500U);
}

// A shown folder's name is the item's own as far as it can be: never hidden, never read as a
// mount folder's id, never longer than a name may be (cut at whole characters), bytes kept.
TEST(ShownNameTest, NamesCarryTheIdNeverHideAreTextAndFitInAName) {
    const Uuid id = *Uuid::parse("9B1C813B-0C4E-4F7A-9D1E-2A3B4C5D6E7F");
    std::string accents;
    for (int count = 0; count < 200; ++count) {
        accents += "\xc3\xa9";  // é, two bytes
    }
    const struct {
        std::string name;
        bool wholeId;
        std::string shown;
    } cases[] = {
        {"Taxes", false, "Taxes (9B1C813B)"},
        {"Taxes", true, "Taxes (9B1C813B-0C4E-4F7A-9D1E-2A3B4C5D6E7F)"},
        {"Report.pdf", false, "Report.pdf (9B1C813B)"},
        {".bashrc", false, "bashrc (9B1C813B)"},
        {"..", false, "Tessela item (9B1C813B)"},
        {"", false, "Tessela item (9B1C813B)"},
        {"a/b", false, "Tessela item (9B1C813B)"},
        {"caf\xe9", false, "caf\xef\xbf\xbd (9B1C813B)"},  // text: a replacement character
        {"\x80\x80\x80", false, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd (9B1C813B)"},
        {accents, false, accents.substr(0, 244) + " (9B1C813B)"},
    };
    for (const auto& [name, wholeId, shown] : cases) {
        EXPECT_EQ(MountsFolder::shownName(name, id, wholeId), shown) << name;
        EXPECT_LE(shown.size(), std::size_t{NAME_MAX});
    }
}

TEST_F(OpenRemoveTest, NothingCanBeWrittenWhereARelockedVolumeWas) {
    const fs::path locked = lockedFile("Report.pdf", "secret");
    const OpenItem open = locker->unlock(locked, password);
    locker->relock(open, false);
    // An editor saving to the path it had open, or recreating its folder, fails.
    EXPECT_NE(::open(open.contentURL().c_str(), O_WRONLY | O_CREAT, 0644), 0);
    EXPECT_FALSE(fs::exists(open.contentURL()));
    if (!testing::runningAsRoot()) {
        EXPECT_NE(::mkdir(open.mountPoint.c_str(), 0700), 0);
        EXPECT_EQ(errno, EACCES);
    }
    EXPECT_FALSE(fs::exists(open.mountPoint));
}

TEST_F(OpenRemoveTest, WrongPasswordLeavesNoMountFolder) {
    const fs::path locked = lockedFile("Report.pdf", "secret");
    EXPECT_THROW((void)locker->unlock(locked, "wrong password"), TesselaError);
    EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
}

TEST_F(OpenRemoveTest, NotLockedAndNotFound) {
    writeFile(home / "Docs/Upper.TESSVAULT/x", "");
    try {
        (void)locker->unlock(home / "Docs/Upper.TESSVAULT", password);
        ADD_FAILURE() << "opened an upper-case bundle";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error, TesselaError::notLocked());
    }
    try {
        (void)locker->removeLock(home / "Docs/Gone.tessvault", password);
        ADD_FAILURE() << "removed the lock of a missing item";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error, TesselaError::notFound());
    }
}

TEST_F(OpenRemoveTest, RelockOfVolumeEjectedElsewhereRemovesStaleFolder) {
    const fs::path locked = lockedFile("Report.pdf", "secret");
    const OpenItem open = locker->unlock(locked, password);
    tool.detach(open.mountPoint, false);
    EXPECT_TRUE(fs::exists(open.mountPoint));
    locker->relock(open, false);
    EXPECT_FALSE(fs::exists(open.mountPoint));
}

TEST_F(OpenRemoveTest, WriterKeepsItemOpenUntilForced) {
    const fs::path locked = lockedFile("Report.pdf", "secret");
    const OpenItem open = locker->unlock(locked, password);
    testing::ChildProcess editor("/bin/sh", {"-c", "exec 3>>\"$1\"; echo ready; read line", "sh",
                                             open.contentURL().string()});
    ASSERT_EQ(editor.readLine(), "ready");
    try {
        locker->relock(open, false);
        ADD_FAILURE() << "relocked while a file was open for writing";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error, TesselaError::inUse({"sh"}));
    }
    EXPECT_EQ(locker->openItems().size(), 1U);
    locker->relock(open, true);
    EXPECT_EQ(locker->openItems(), std::vector<OpenItem>{});
    EXPECT_FALSE(fs::exists(open.mountPoint));
}

TEST_F(OpenRemoveTest, BundleWithoutRecordGetsOneWithGenerationZero) {
    writeFile(home / "Docs/Tax return.pdf", "numbers");
    const fs::path locked = locker->lock(home / "Docs/Tax return.pdf", password, 4).lastKnownPath;
    const fs::path copied = home / "Docs/Copied.tessvault";
    ASSERT_EQ(std::system(("cp -a '" + locked.string() + "' '" + copied.string() + "'").c_str()),
              0);
    const OpenItem open = locker->unlock(copied, password);
    EXPECT_EQ(open.name, "Tax return.pdf");
    EXPECT_EQ(open.kind, LockedItem::Kind::file);
    const auto record = index.item(copied);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->passwordGeneration, 0);
    EXPECT_EQ(record->displayName, "Tax return.pdf");
    EXPECT_EQ(record->contentSize, 7);
    EXPECT_EQ(record->stage, LockedItem::Stage::complete);
    EXPECT_EQ(index.load().size(), 2U);
}

TEST_F(OpenRemoveTest, VolumeWithoutMarkerOrRecordOpensAsFolderNamedAfterBundle) {
    const fs::path bundle = foreignBundle("Old Stuff.tessvault");
    const OpenItem open = locker->unlock(bundle, password);
    EXPECT_EQ(open.name, "Old Stuff");
    EXPECT_EQ(open.kind, LockedItem::Kind::folder);
    EXPECT_EQ(readFile(open.contentURL() / "inside.txt"), "from elsewhere");
}

TEST_F(OpenRemoveTest, ForeignMountsAreNeitherListedNorAdopted) {
    const fs::path locked = lockedFile("Report.pdf", "secret");
    const fs::path elsewhere = makeMountPoint("double-clicked");
    tool.attach(locked, elsewhere, password, true);
    EXPECT_EQ(locker->openItems(), std::vector<OpenItem>{});
    index.save({});
    locker->adoptOpenItems(tool.attachedImages());
    EXPECT_EQ(index.load(), std::vector<LockedItem>{});
}

TEST_F(OpenRemoveTest, AdoptsOpenItemsAfterTheIndexWasLost) {
    const fs::path locked = lockedFile("Report.pdf", "secret");
    const OpenItem open = locker->unlock(locked, password);
    index.save({});
    EXPECT_EQ(locker->openItems(), std::vector<OpenItem>{});
    locker->adoptOpenItems(tool.attachedImages());
    const std::vector<LockedItem> records = index.load();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].id, open.id);
    EXPECT_EQ(records[0].displayName, "Report.pdf");
    EXPECT_EQ(records[0].passwordGeneration, 0);
    EXPECT_EQ(locker->openItems().size(), 1U);
}

TEST_F(OpenRemoveTest, LockThenRemoveLockGivesBackIdenticalContent) {
    const fs::path tree = makeTree("Projekt Ü");
    const fs::path reference = temp / "reference";
    ASSERT_EQ(std::system(("cp -a '" + tree.string() + "' '" + reference.string() + "'").c_str()),
              0);
    const fs::path locked = locker->lock(tree, password, 1).lastKnownPath;
    const OpenItem open = locker->unlock(locked, password);  // removal closes it first

    std::vector<LockStep> steps;
    const fs::path restored = locker->removeLock(locked, password, nullptr,
                                                 [&](LockStep step) { steps.push_back(step); });
    EXPECT_EQ(restored, tree);
    EXPECT_EQ(steps, (std::vector<LockStep>{LockStep::restoring, LockStep::verifying,
                                            LockStep::finishing}));
    EXPECT_EQ(TreeVerifier::compare(reference, restored, {}), std::vector<TreeMismatch>{});
    EXPECT_EQ(fs::read_symlink(restored / "link to a"), "a.txt");
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Projekt Ü"});
    EXPECT_FALSE(fs::exists(open.mountPoint));
    expectNothingLeft(home / "Docs");
}

TEST_F(OpenRemoveTest, RestoredNamesNeverOverwrite) {
    const fs::path locked = lockedFile("Taxes 2024.pdf", "numbers");
    fs::rename(locked, home / "Docs/Taxes.tessvault");
    writeFile(home / "Docs/Taxes 2024.pdf", "someone else's");
    const fs::path restored = locker->removeLock(home / "Docs/Taxes.tessvault", password);
    EXPECT_EQ(restored, home / "Docs/Taxes 2024 (restored).pdf");
    EXPECT_EQ(readFile(restored), "numbers");
    EXPECT_EQ(readFile(home / "Docs/Taxes 2024.pdf"), "someone else's");

    writeFile(temp / "f/README", "");
    writeFile(temp / "f/README (restored)", "");
    EXPECT_EQ(LockedNames::restoreDestination("README", temp / "f"),
              temp / "f/README (restored 2)");
    EXPECT_EQ(LockedNames::restoreDestination("Photos", temp / "f"), temp / "f/Photos");
}

TEST_F(OpenRemoveTest, ForeignBundleRestoresAsFolderNamedAfterIt) {
    const fs::path bundle = foreignBundle("Old Stuff.tessvault");
    const fs::path restored = locker->removeLock(bundle, password);
    EXPECT_EQ(restored, home / "Docs/Old Stuff");
    EXPECT_EQ(readFile(restored / "inside.txt"), "from elsewhere");
    EXPECT_FALSE(fs::exists(bundle));
}

TEST_F(OpenRemoveTest, FailedVerificationLeavesItemLockedAndNothingElse) {
    const fs::path tree = makeTree("Project");
    const fs::path locked = locker->lock(tree, password, 1).lastKnownPath;
    afterRestoreCopy([](const fs::path& hidden) { writeFile(hidden / "a.txt", "x"); });
    try {
        (void)locker->removeLock(locked, password);
        ADD_FAILURE() << "a damaged restore was accepted";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error,
                  TesselaError::restoreVerificationFailed({{"a.txt", TreeMismatch::sizeDiffers}}));
    }
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Project.tessvault"});
    EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
    EXPECT_EQ(journal.load(), std::vector<JournalEntry>{});
    EXPECT_EQ(index.load().size(), 1U);
    const OpenItem open = locker->unlock(locked, password);
    EXPECT_EQ(readFile(open.contentURL() / "a.txt"), "alpha");
}

// The removal reads the container's own files: a folder's names that no longer open (its tweak
// swapped with another folder's) stop it, where the mount would show that folder empty and the
// removal would restore it so. Put right again, the content comes back whole.
TEST_F(OpenRemoveTest, NamesThatNoLongerOpenStopTheRemovalAndLoseNothing) {
    const fs::path tree = makeTree("Project");
    const fs::path reference = temp / "reference";
    fs::copy(tree, reference, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    const fs::path locked = locker->lock(tree, password, 1).lastKnownPath;
    fs::path sub;
    for (const auto& entry : fs::directory_iterator(locked)) {
        if (entry.is_directory() && fs::exists(entry.path() / "gocryptfs.diriv")) {
            sub = entry.path();
        }
    }
    ASSERT_FALSE(sub.empty());
    testing::swapTweaks(locked, sub);
    EXPECT_THROW((void)locker->removeLock(locked, password), TesselaError);
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Project.tessvault"});
    EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
    EXPECT_EQ(journal.load(), std::vector<JournalEntry>{});
    testing::swapTweaks(locked, sub);
    const fs::path restored = locker->removeLock(locked, password);
    EXPECT_EQ(TreeVerifier::compare(reference, restored, {}), std::vector<TreeMismatch>{});
}

TEST_F(OpenRemoveTest, SpaceExactlyAtTheLimitIsEnough) {
    const fs::path locked = lockedFile("Report.pdf", std::string(100'000, 'r'));
    // The removal needs the content's allocated size plus the margin.
    const OpenItem open = locker->unlock(locked, password);
    const std::int64_t needed =
        ItemFacts::allocatedSize(open.contentURL()) + LockerOptions::defaultSpaceMargin;
    locker->relock(open, false);
    fileSystem.freeBytes = needed - 1;
    try {
        (void)locker->removeLock(locked, password);
        ADD_FAILURE() << "removed with too little space";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error, TesselaError::notEnoughSpace(needed, needed - 1));
    }
    fileSystem.freeBytes = needed;
    EXPECT_EQ(readFile(locker->removeLock(locked, password)), std::string(100'000, 'r'));
}

TEST_F(OpenRemoveTest, LockSpaceExactlyAtTheLimitIsEnough) {
    writeFile(home / "Docs/Report.pdf", std::string(100'000, 'r'));
    const fs::path item = home / "Docs/Report.pdf";
    const std::int64_t needed = ItemFacts::inspect(item).size +
                                DiskImageTool::containerOverhead(item) +
                                LockerOptions::defaultSpaceMargin;
    fileSystem.freeBytes = needed - 1;
    EXPECT_EQ(lockFailure(item), TesselaError::notEnoughSpace(needed, needed - 1));
    fileSystem.freeBytes = needed;
    EXPECT_NO_THROW((void)locker->lock(item, password, 1));
}

// What each crash point of a removal leaves, as the journal describes it.
// File names are bytes: a name that is not UTF-8 locks, opens and comes back as itself, and its
// record and marker keep it exactly.
TEST_F(OpenRemoveTest, NamesThatAreNotUtf8LockOpenAndComeBackUnchanged) {
    const std::string folderName = "dossier\xff";
    const std::string fileName = "caf\xe9.txt";
    writeFile(home / "Docs" / folderName / fileName, "inside");
    writeFile(home / "Docs" / fileName, "alone");

    const LockedItem folder = locker->lock(home / "Docs" / folderName, password, 1);
    const LockedItem file = locker->lock(home / "Docs" / fileName, password, 1);
    EXPECT_EQ(folder.displayName, folderName);
    EXPECT_EQ(index.load(), (std::vector<LockedItem>{folder, file}));

    const OpenItem open = locker->unlock(file.lastKnownPath, password);
    EXPECT_EQ(open.name, fileName);
    EXPECT_EQ(readFile(open.contentURL()), "alone");
    locker->relock(open, false);

    EXPECT_EQ(locker->removeLock(folder.lastKnownPath, password), home / "Docs" / folderName);
    EXPECT_EQ(readFile(home / "Docs" / folderName / fileName), "inside");
    EXPECT_EQ(locker->removeLock(file.lastKnownPath, password), home / "Docs" / fileName);
    EXPECT_EQ(readFile(home / "Docs" / fileName), "alone");
    expectNothingLeft(home / "Docs");
}

// The restored copy reaches the disk before it takes the item's name, its name before the only
// other copy, the locked item, goes, and that deletion before the journal lets go of it.
TEST_F(OpenRemoveTest, RestoredCopyIsDurableBeforeTheLockedItemGoes) {
    const fs::path locked = lockedFile("Report.pdf", "content");
    fileSystem.forgetSteps();
    (void)locker->removeLock(locked, password);
    EXPECT_EQ(durabilityOrder(fileSystem.steps(), ".tessvault", home / "Docs/Report.pdf"),
              (std::vector<std::string>{"flush Docs", "journal", "Report.pdf takes its name",
                                        "sync Docs", ".tessvault goes", "sync Docs", "journal"}));
}

TEST_F(OpenRemoveTest, FailedRemovalLeavesNoDecryptedFilesEvenInReadOnlyFolders) {
    writeFile(home / "Docs/Archive/sealed/old.txt", "old");
    ::chmod((home / "Docs/Archive/sealed").c_str(), 0555);
    const fs::path locked = locker->lock(home / "Docs/Archive", password, 1).lastKnownPath;
    afterRestoreCopy(
        [](const fs::path&) { throw std::system_error(EIO, std::generic_category(), "injected"); });
    EXPECT_THROW((void)locker->removeLock(locked, password), std::system_error);
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Archive.tessvault"});
    EXPECT_EQ(journal.load(), std::vector<JournalEntry>{});
}

TEST_F(OpenRemoveTest, CleanUpThatFailsKeepsItsEntryAndTheNextStartFinishesIt) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root may delete in a read-only folder";
    }
    const fs::path locked = lockedFile("Report.pdf", "secret");
    // The folder turns read-only before the failure, so the clean-up cannot delete the copy.
    afterRestoreCopy([&](const fs::path&) {
        ::chmod((home / "Docs").c_str(), 0555);
        throw std::system_error(EIO, std::generic_category(), "injected");
    });
    EXPECT_THROW((void)locker->removeLock(locked, password), std::system_error);
    EXPECT_EQ(leftovers(home / "Docs").size(), 1U);
    EXPECT_EQ(journal.load().size(), 1U);

    ::chmod((home / "Docs").c_str(), 0755);
    fileSystem.beforeStep = nullptr;
    const RecoveryReport report = locker->recover();
    EXPECT_EQ(report.discardedRestores, 1);
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Report.tessvault"});
    EXPECT_EQ(journal.load(), std::vector<JournalEntry>{});
}

TEST_F(OpenRemoveTest, OpeningThatCannotBeRecordedClosesTheVolumeAgain) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root writes everywhere";
    }
    const fs::path bundle = foreignBundle("Foreign.tessvault");
    // The mounts folder is there; the records beside it cannot be written.
    fs::create_directories(mountsRoot);
    ::chmod((temp / "support").c_str(), 0500);
    EXPECT_THROW((void)locker->unlock(bundle, password), std::system_error);
    ::chmod((temp / "support").c_str(), 0700);
    for (const AttachedImage& image : tool.attachedImages()) {
        EXPECT_FALSE(image.mountPoint.string().starts_with(mountsRoot.string()));
    }
    EXPECT_EQ(namesIn(mountsRoot), std::vector<std::string>{});
}

// Deeper than the number of files a process may have open (1024 for an ordinary user here):
// deleting never holds a descriptor per level.
TEST_F(OpenRemoveTest, FoldersDeeperThanTheOpenFileLimitLockAndComeBack) {
    fs::path deepest = home / "Docs/Deep";
    ASSERT_EQ(::mkdir(deepest.c_str(), 0755), 0);
    for (int level = 0; level < 1050; ++level) {
        deepest /= "d";
        ASSERT_EQ(::mkdir(deepest.c_str(), 0755), 0);
    }
    writeFile(deepest / "bottom.txt", "found");
    const LockedItem record = locker->lock(home / "Docs/Deep", password, 1);
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Deep.tessvault"});
    EXPECT_EQ(locker->removeLock(record.lastKnownPath, password), home / "Docs/Deep");
    EXPECT_EQ(readFile(deepest / "bottom.txt"), "found");
    expectNothingLeft(home / "Docs");
}

class RestoreCrashTest : public testing::EngineTest,
                         public ::testing::WithParamInterface<CrashPoint> {};

TEST_P(RestoreCrashTest, LeavesExactlyWhatTheJournalDescribes) {
    const CrashPoint point = GetParam();
    writeFile(home / "Docs/Report.pdf", "content");
    const LockedItem record = locker->lock(home / "Docs/Report.pdf", password, 1);
    const fs::path locked = record.lastKnownPath;
    const auto identity = FileIdentity::of(locked);
    restart({.crashPoint = point});
    EXPECT_THROW((void)locker->removeLock(locked, password), SimulatedCrash);

    const std::vector<JournalEntry> entries = journal.load();
    ASSERT_EQ(entries.size(), 1U);
    const JournalEntry& entry = entries[0];
    const fs::path hidden = home / "Docs" / (".tessela-" + record.id.string() + ".restoring");
    EXPECT_EQ(entry.id, record.id);
    EXPECT_EQ(entry.kind, JournalEntry::Kind::restore);
    EXPECT_EQ(entry.originalPath, locked.string());
    EXPECT_EQ(entry.partialPath, hidden.string());
    EXPECT_EQ(entry.lockedIdentity, identity);

    const bool chosen = point != CrashPoint::restoreAfterCopy;
    const bool moved =
        point == CrashPoint::restoreAfterRename || point == CrashPoint::restoreAfterDeleteLocked;
    const bool deleted = point == CrashPoint::restoreAfterDeleteLocked;
    EXPECT_EQ(entry.finalPath, chosen ? (home / "Docs/Report.pdf").string() : "");
    // A file's copy is made inside the private hidden folder, which goes once it is moved out.
    EXPECT_EQ(fs::exists(hidden), !moved);
    if (!moved) {
        EXPECT_EQ(readFile(hidden / "Report.pdf"), "content");
        EXPECT_EQ(testing::permissions(hidden), 0700U);
    }
    EXPECT_EQ(entry.restoredIdentity.has_value(), chosen);
    EXPECT_EQ(fs::exists(home / "Docs/Report.pdf"), moved);
    EXPECT_EQ(fs::exists(locked), !deleted);
    EXPECT_EQ(isMounted(mountsRoot / record.id.string()), !deleted);
    EXPECT_EQ(index.load().size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(AllRestoreCrashPoints, RestoreCrashTest,
                         ::testing::Values(CrashPoint::restoreAfterCopy,
                                           CrashPoint::restoreBeforeRename,
                                           CrashPoint::restoreAfterRename,
                                           CrashPoint::restoreAfterDeleteLocked),
                         testing::crashPointName);

}  // namespace
}  // namespace tessela
