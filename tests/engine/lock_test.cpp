#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include "checks/tree_verifier.h"
#include "container/container_keys.h"
#include "engine/engine_fixture.h"
#include "engine/locked_look.h"
#include "engine/locked_names.h"
#include "engine/locker.h"
#include "errors/tessela_error.h"
#include "records/volume_layout.h"
#include "support/child_process.h"
#include "support/fuse_fixture.h"
#include "support/sealed_files.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::FileSystemStep;
using testing::namesIn;
using testing::readFile;
using testing::writeFile;

using LockTest = testing::EngineTest;
using testing::putSealedBlock;
using testing::randomBytes;
using testing::sealedBlock;
using testing::swapTweaks;

// Whether the process's own memory holds `masked` unmasked (each byte XOR `mask`) anywhere it
// can be read: every readable mapping, through /proc/self/mem. The key searched for is never
// whole in memory here: it is unmasked a byte at a time as it is compared.
bool memoryHolds(const std::array<unsigned char, 32>& masked, unsigned char mask) {
    std::ifstream maps("/proc/self/maps");
    const UniqueFd memory(::open("/proc/self/mem", O_RDONLY | O_CLOEXEC));
    std::vector<unsigned char> buffer(1 << 20);
    const auto first = static_cast<unsigned char>(masked[0] ^ mask);
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        char permissions[5] = {};
        // Mappings of many gigabytes are reservations (a sanitizer's shadow memory), not data.
        if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " %4s", &start, &end, permissions) !=
                3 ||
            permissions[0] != 'r' || end - start > (std::uintptr_t{1} << 32)) {
            continue;
        }
        // Chunks overlap by a key's length less one, so a key across two is seen.
        for (std::uintptr_t at = start; at < end; at += buffer.size() - masked.size() + 1) {
            const std::size_t wanted = std::min<std::uintptr_t>(buffer.size(), end - at);
            const ssize_t got =
                ::pread(memory.get(), buffer.data(), wanted, static_cast<off_t>(at));
            if (got < static_cast<ssize_t>(masked.size())) {
                break;  // not readable after all ([vvar], a guard page)
            }
            for (std::size_t index = 0; index + masked.size() <= static_cast<std::size_t>(got);
                 ++index) {
                std::size_t same = 0;
                if (buffer[index] == first) {
                    while (++same < masked.size() &&
                           buffer[index + same] == (masked[same] ^ mask)) {
                    }
                }
                if (same == masked.size()) {
                    return true;
                }
            }
            if (wanted < buffer.size()) {
                break;
            }
        }
    }
    return false;
}

// In a process of its own (a death test's): cancels a lock of `item` while it copies, then
// searches the whole memory for the container's content and names keys. Exits 0 when neither is
// anywhere, 1 when one is found, 2 when the search does not even find a key in use, 3 when the
// lock did not end as cancelled.
[[noreturn]] void cancelLockAndSearchForItsKey(Locker& locker, const fs::path& item,
                                               const std::string& password,
                                               const fs::path& scratch) {
    CancelToken token;
    std::string settings;
    const CopyProgressCallback cancelOnce = [&](std::int64_t done, std::int64_t) {
        if (done == 0 || !settings.empty()) {
            return;
        }
        for (const auto& entry : fs::directory_iterator(item.parent_path())) {
            if (fs::exists(entry.path() / container::configName)) {
                settings = readFile(entry.path() / container::configName);
            }
        }
        token.cancel();
    };
    try {
        (void)locker.lock(item, password, 1, &token, {}, cancelOnce);
        std::_Exit(3);
    } catch (const TesselaError& error) {
        if (error.errorCase() != TesselaError::Case::cancelled || settings.empty()) {
            std::_Exit(3);
        }
    }
    // The key comes masked from a process of its own, which unwraps it from the settings the
    // cancelled container had: this process never holds it whole.
    const fs::path copyOfSettings = scratch / "settings";
    fs::create_directories(copyOfSettings);
    writeFile(copyOfSettings / container::configName, settings);
    constexpr unsigned char mask = 0xA5;
    std::array<std::array<unsigned char, 32>, 2> masked{};  // the content key, the names key
    int channel[2] = {-1, -1};
    if (::pipe(channel) != 0) {
        std::_Exit(3);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const ContainerKeys keys = ContainerKeys::unlock(Folder::open(copyOfSettings), password);
        for (std::size_t index = 0; index < 32; ++index) {
            masked[0][index] = static_cast<unsigned char>(keys.contentKey().bytes()[index] ^ mask);
            masked[1][index] = static_cast<unsigned char>(keys.nameKey().bytes()[index] ^ mask);
        }
        (void)::write(channel[1], masked.data(), sizeof masked);
        std::_Exit(0);
    }
    ::close(channel[1]);
    const bool received =
        ::read(channel[0], masked.data(), sizeof masked) == static_cast<ssize_t>(sizeof masked);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!received) {
        std::_Exit(3);
    }
    if (memoryHolds(masked[0], mask) || memoryHolds(masked[1], mask)) {
        std::_Exit(1);
    }
    const ContainerKeys live = ContainerKeys::unlock(Folder::open(copyOfSettings), password);
    std::_Exit(memoryHolds(masked[0], mask) ? 0 : 2);
}

TEST_F(LockTest, FileBecomesLockedItemWithItsContentMarkerAndIndexStop) {
    const std::string content = randomBytes(5'000'000, 1);
    writeFile(home / "Docs/Report.pdf", content);
    std::vector<LockStep> steps;
    const LockedItem record = locker->lock(home / "Docs/Report.pdf", password, 3, nullptr,
                                           [&](LockStep step) { steps.push_back(step); });

    EXPECT_EQ(steps,
              (std::vector<LockStep>{LockStep::preparing, LockStep::encrypting, LockStep::verifying,
                                     LockStep::removingOriginal, LockStep::finishing}));
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Report.tessvault"});
    EXPECT_EQ(record.displayName, "Report.pdf");
    EXPECT_EQ(record.kind, LockedItem::Kind::file);
    EXPECT_EQ(record.stage, LockedItem::Stage::complete);
    EXPECT_EQ(record.originalPath, std::nullopt);
    EXPECT_EQ(record.passwordGeneration, 3);
    EXPECT_EQ(record.contentSize, 5'000'000);
    EXPECT_EQ(record.lastKnownPath, (home / "Docs/Report.tessvault").string());
    EXPECT_EQ(index.load(), std::vector<LockedItem>{record});
    EXPECT_EQ(readFile(journal.fileURL()), "[]");

    const fs::path volume = open(home / "Docs/Report.tessvault");
    EXPECT_EQ(namesIn(volume), (std::vector<std::string>{".metadata_never_index",
                                                         ".tessela-item.json", "Report.pdf"}));
    EXPECT_EQ(readFile(volume / "Report.pdf"), content);
    EXPECT_EQ(readFile(volume / ".metadata_never_index"), "");
    EXPECT_EQ(ItemMarker::read(volume), ItemMarker(LockedItem::Kind::file, "Report.pdf"));
}

TEST_F(LockTest, FolderContentsBecomeTheVolumeRoot) {
    const fs::path tree = makeTree("Project ü");
    const fs::path reference = temp / "reference";
    ASSERT_EQ(std::system(("cp -a '" + tree.string() + "' '" + reference.string() + "'").c_str()),
              0);
    const LockedItem record = locker->lock(tree, password, 1);
    EXPECT_EQ(record.kind, LockedItem::Kind::folder);
    EXPECT_FALSE(fs::exists(tree));
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Project ü.tessvault"});

    const fs::path volume = open(home / "Docs/Project ü.tessvault");
    const std::set<std::string> housekeeping = VolumeLayout::housekeepingNames();
    EXPECT_EQ(TreeVerifier::compare(reference, volume, housekeeping), std::vector<TreeMismatch>{});
    EXPECT_EQ(fs::read_symlink(volume / "link to a"), "a.txt");
    ItemMarker marker(LockedItem::Kind::folder, "Project ü");
    marker.mode = 0755;
    EXPECT_EQ(ItemMarker::read(volume), marker);
    // Opened as a folder in a file manager, the locked item says in words what it is; the note
    // is no part of the content.
    const std::string guide = readFile(home / "Docs/Project ü.tessvault" / LockedLook::guideName);
    EXPECT_NE(guide.find("This folder is Project ü, locked by Tessela."), std::string::npos);
    EXPECT_FALSE(fs::exists(volume / LockedLook::guideName));
}

// A folder others may write in (a team folder) must not make a locked item others may empty:
// deleting the bundle's key file would make it unreadable for good.
TEST_F(LockTest, SharedFolderBecomesAPrivateLockedItemAndGetsItsModeBack) {
    const fs::path team = home / "Docs/Team";
    writeFile(team / "plan.txt", "plan");
    ::chmod(team.c_str(), 0777);
    const LockedItem record = locker->lock(team, password, 1);
    EXPECT_EQ(testing::permissions(record.lastKnownPath) & 0077, 0U);
    EXPECT_EQ(locker->removeLock(record.lastKnownPath, password), team);
    EXPECT_EQ(testing::permissions(team), 0777U);
}

TEST_F(LockTest, NamesAvoidExistingItemsAndKeepFolderNames) {
    writeFile(home / "Docs/Report.pdf", "new");
    fs::create_directories(home / "Docs/Report.tessvault");
    writeFile(home / "Docs/Photos.2024/a.jpg", "jpg");
    EXPECT_EQ(locker->lock(home / "Docs/Report.pdf", password, 1).lastKnownPath,
              (home / "Docs/Report 2.tessvault").string());
    EXPECT_EQ(locker->lock(home / "Docs/Photos.2024", password, 1).lastKnownPath,
              (home / "Docs/Photos.2024.tessvault").string());
}

TEST(LockerNamesTest, BaseNamesDropKnownExtensions) {
    EXPECT_EQ(LockedNames::lockedBaseName("Report.pdf", true), "Report");
    EXPECT_EQ(LockedNames::lockedBaseName("backup.tar.gz", true), "backup");
    EXPECT_EQ(LockedNames::lockedBaseName("notes.v2.txt", true), "notes.v2");
    EXPECT_EQ(LockedNames::lockedBaseName("data.qqqzz", true), "data.qqqzz");
    EXPECT_EQ(LockedNames::lockedBaseName("Photos.2024", false), "Photos.2024");
    EXPECT_EQ(LockedNames::lockedBaseName("README", true), "README");
    EXPECT_EQ(LockedNames::lockedBaseName(".bashrc", true), ".bashrc");
}

TEST(LockerNamesTest, LongNamesAreCutAtWholeCharacters) {
    testing::TempFolder temp;
    const std::string longName = std::string(247, 'a') + "ü";  // 249 bytes
    const fs::path locked = LockedNames::availableLockedURL(longName, temp.path());
    const std::string base = locked.filename().string();
    const std::string stem = base.substr(0, base.size() - std::string(".tessvault").size());
    EXPECT_LT(stem.size(), 243U);
    EXPECT_EQ(stem, std::string(242, 'a'));

    const std::string wide = "ü" + std::string(61, 'b') + "€€";  // 2 + 61 + 6 = 69 bytes
    const std::string volume = LockedNames::volumeName(wide);
    EXPECT_LT(volume.size(), 64U);
    EXPECT_EQ(volume, "ü" + std::string(61, 'b'));
    const std::string euros = std::string(240, 'c') + "€€";  // 246 bytes
    EXPECT_EQ(LockedNames::availableLockedURL(euros, temp.path()).filename().string(),
              std::string(240, 'c') + ".tessvault");
}

TEST_F(LockTest, RefusalsComeThroughUnchanged) {
    EXPECT_EQ(lockFailure(home), TesselaError::refused(LockRefusal::homeFolder));
    EXPECT_EQ(lockFailure(home / "Docs/missing"), TesselaError::refused(LockRefusal::doesNotExist));
    writeFile(home / "Docs/Folder/._x", "");
    EXPECT_EQ(lockFailure(home / "Docs/Folder"), TesselaError::containsAppleDouble("Folder"));
    expectNothingLeft(home / "Docs");
}

TEST_F(LockTest, NotEnoughSpaceIsRefusedBeforeAnyChange) {
    writeFile(home / "Docs/Report.pdf", "content");
    restart({.spaceMargin = std::int64_t{1} << 60});
    const TesselaError error = lockFailure(home / "Docs/Report.pdf");
    EXPECT_EQ(error.errorCase(), TesselaError::Case::notEnoughSpace);
    expectNothingLeft(home / "Docs");
}

TEST_F(LockTest, WriterBlocksButReaderDoesNot) {
    writeFile(home / "Docs/Busy/report.txt", "text");
    writeFile(home / "Docs/Read/notes.txt", "text");
    testing::ChildProcess writer("/bin/sh", {"-c", "exec 3>>\"$1\"; echo ready; read line", "sh",
                                             (home / "Docs/Busy/report.txt").string()});
    ASSERT_EQ(writer.readLine(), "ready");
    testing::ChildProcess reader("/bin/sh", {"-c", "exec 3<\"$1\"; echo ready; read line", "sh",
                                             (home / "Docs/Read/notes.txt").string()});
    ASSERT_EQ(reader.readLine(), "ready");

    EXPECT_EQ(lockFailure(home / "Docs/Busy"), TesselaError::inUse({"sh"}));
    EXPECT_TRUE(fs::exists(home / "Docs/Busy/report.txt"));
    EXPECT_NO_THROW((void)locker->lock(home / "Docs/Read", password, 1));
    EXPECT_TRUE(fs::exists(home / "Docs/Read.tessvault"));
}

// A container whose settings the container module does not write (here plain names) is
// filled through its mount instead, and locks as any other.
TEST_F(LockTest, ContainerTheModuleDoesNotWriteIsFilledThroughItsMount) {
    const fs::path tree = makeTree("Project");
    const fs::path wrapper = temp / "gocryptfs";
    writeFile(
        wrapper,
        "#!/bin/sh\n"
        "[ \"$1\" = -init ] && { shift; exec /usr/bin/gocryptfs -init -plaintextnames \"$@\"; }\n"
        "exec /usr/bin/gocryptfs \"$@\"\n");
    fs::permissions(wrapper, fs::perms::owner_all);
    restart({}, DiskImageTool(DiskImageTool::Tools{.gocryptfs = wrapper.string()}, fastScryptCost));
    (void)locker->lock(tree, password, 1);
    EXPECT_TRUE(fs::exists(home / "Docs/Project.tessvault/a.txt"));  // plain names
    const fs::path opened = open(home / "Docs/Project.tessvault");
    EXPECT_EQ(readFile(opened / "a.txt"), "alpha");
    EXPECT_EQ(readFile(opened / "deep/er/still/big.bin"), randomBytes(5'000'000, 7));
}

TEST_F(LockTest, MissingContainerToolLeavesNothing) {
    writeFile(home / "Docs/Report.pdf", "content");
    restart({}, DiskImageTool(DiskImageTool::Tools{(temp / "no-gocryptfs").string()}, 10));
    EXPECT_THROW((void)locker->lock(home / "Docs/Report.pdf", password, 1), std::system_error);
    EXPECT_EQ(readFile(home / "Docs/Report.pdf"), "content");
    expectNothingLeft(home / "Docs");
}

TEST_F(LockTest, FaultyCopyFailsVerificationAndLeavesNothing) {
    const fs::path tree = makeTree("Project");
    // The copy grows by a byte after it was written, as a faulty disk would change it.
    restart({.afterCopy = [](const fs::path& copy) {
        std::ofstream(copy / "a.txt", std::ios::app) << 'X';
    }});
    const TesselaError error = lockFailure(tree);
    EXPECT_EQ(error, TesselaError::verificationFailed({{"a.txt", TreeMismatch::sizeDiffers}}));
    EXPECT_EQ(readFile(tree / "a.txt"), "alpha");
    expectNothingLeft(home / "Docs");
}

// The user's extended attributes are content: one the copy does not hold as the original does
// fails the verification.
TEST_F(LockTest, AttributeThatDiffersInTheCopyFailsVerificationAndLeavesNothing) {
    const fs::path tree = makeTree("Project");
    if (::setxattr((tree / "a.txt").c_str(), "user.colour", "blue", 4, 0) != 0) {
        GTEST_SKIP() << "no user attributes here";
    }
    restart({.afterCopy = [](const fs::path& copy) {
        ::setxattr((copy / "a.txt").c_str(), "user.colour", "red", 3, 0);
    }});
    EXPECT_EQ(lockFailure(tree),
              TesselaError::verificationFailed({{"a.txt", TreeMismatch::contentDiffers}}));
    expectNothingLeft(home / "Docs");
}

// What the lock seals itself is proven through the mount: damage done to the container's own
// files between the writing and the verification ends in a refusal, the original untouched.
TEST_F(LockTest, DamageToWhatWasSealedFailsTheLockAndLeavesTheOriginal) {
    const fs::path item = home / "Docs/Sealed";
    writeFile(item / "one.bin", randomBytes(3 * 4096, 1));
    writeFile(item / "two.bin", randomBytes(3 * 4096, 2));
    writeFile(item / "sub/three.txt", "three");
    const fs::path reference = temp / "reference";
    fs::copy(item, reference, fs::copy_options::recursive);
    // The container's files of the two 3-block files, and its sub-folder.
    const auto sealedFiles = [](const fs::path& container) {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(container)) {
            if (entry.is_regular_file() && entry.file_size() == 18 + 3 * 4128) {
                found.push_back(entry.path());
            }
        }
        EXPECT_EQ(found.size(), 2U);
        std::sort(found.begin(), found.end());
        return found;
    };
    const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> damages = {
        {"a flipped bit",
         [&](const fs::path& container) {
             const fs::path file = sealedFiles(container).at(0);
             std::string second = sealedBlock(file, 1);
             second[100] = static_cast<char>(second[100] ^ 0x04);
             putSealedBlock(file, 1, second);
         }},
        {"two blocks swapped in a file",
         [&](const fs::path& container) {
             const fs::path file = sealedFiles(container).at(0);
             const std::string first = sealedBlock(file, 0);
             putSealedBlock(file, 0, sealedBlock(file, 1));
             putSealedBlock(file, 1, first);
         }},
        {"a block from another file",
         [&](const fs::path& container) {
             const std::vector<fs::path> files = sealedFiles(container);
             putSealedBlock(files.at(1), 1, sealedBlock(files.at(0), 1));
         }},
        {"a truncated file",
         [&](const fs::path& container) {
             fs::resize_file(sealedFiles(container).at(0), 18 + 2 * 4128);
         }},
        {"the folders' tweaks swapped",
         [&](const fs::path& container) {
             const auto sub = std::find_if(
                 fs::directory_iterator(container), fs::directory_iterator(),
                 [](const fs::directory_entry& entry) { return entry.is_directory(); });
             ASSERT_NE(sub, fs::directory_iterator());
             swapTweaks(container, sub->path());
         }},
    };
    for (const auto& [what, damage] : damages) {
        SCOPED_TRACE(what);
        bool damaged = false;
        restart({.afterSealing = [&, &damage = damage](const fs::path& container) {
            damage(container);
            damaged = true;
        }});
        EXPECT_THROW((void)locker->lock(item, password, 1), std::exception);
        EXPECT_TRUE(damaged);
        EXPECT_EQ(TreeVerifier::compare(reference, item, {}), std::vector<TreeMismatch>{});
        expectNothingLeft(home / "Docs");
    }
}

// A cancelled lock leaves its keys nowhere in its memory (so in no core dump either): not in
// the cipher contexts, the key derivation or the copy's threads.
TEST_F(LockTest, CancelledLockLeavesNoKeyInMemory) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const fs::path tree = makeTree("Project");
    EXPECT_EXIT(cancelLockAndSearchForItsKey(*locker, tree, password, temp.path()),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(LockTest, ChangeDuringLockIsNoticedAndLeavesNothing) {
    const fs::path tree = makeTree("Project");
    afterVerification([&] { writeFile(tree / "added later.txt", "new"); });
    EXPECT_EQ(lockFailure(tree), TesselaError::changedWhileLocking());
    EXPECT_EQ(readFile(tree / "added later.txt"), "new");
    EXPECT_TRUE(fs::exists(tree / "deep/er/still/big.bin"));
    expectNothingLeft(home / "Docs");
}

TEST_F(LockTest, ChangeDuringTheCopyIsCaughtByVerificationAndProgressCountsBytes) {
    const fs::path tree = makeTree("Project");
    const std::int64_t total = 5 + 5 + 5'000'000;
    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    const CopyProgressCallback changeOnce = [&](std::int64_t done, std::int64_t all) {
        if (reports.empty()) {
            std::ofstream(tree / "a.txt", std::ios::app) << '!';
        }
        reports.emplace_back(done, all);
    };
    try {
        (void)locker->lock(tree, password, 1, nullptr, {}, changeOnce);
        ADD_FAILURE() << "a copy of a changing file was accepted";
    } catch (const TesselaError& error) {
        EXPECT_EQ(error,
                  TesselaError::verificationFailed({{"a.txt", TreeMismatch::contentDiffers}}));
    }
    EXPECT_EQ(readFile(tree / "a.txt"), "alpha!");
    expectNothingLeft(home / "Docs");

    reports.clear();
    (void)locker->lock(tree, password, 1, nullptr, {}, [&](std::int64_t done, std::int64_t all) {
        reports.emplace_back(done, all);
    });
    ASSERT_GE(reports.size(), 2U);
    EXPECT_EQ(reports.front(), std::make_pair(std::int64_t{0}, total + 1));
    EXPECT_EQ(reports.back(), std::make_pair(total + 1, total + 1));
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
}

TEST_F(LockTest, CancelDuringCopyChangesNothing) {
    const fs::path tree = makeTree("Project");
    CancelToken token;
    const TesselaError error = lockFailure(tree, &token, [&](LockStep step) {
        if (step == LockStep::encrypting) {
            token.cancel();
        }
    });
    EXPECT_EQ(error.errorDescription(), "Cancelled. Nothing was changed.");
    EXPECT_TRUE(fs::exists(tree / "deep/er/still/big.bin"));
    expectNothingLeft(home / "Docs");
}

TEST_F(LockTest, FailedRenameToDeletingLeavesItemLockedAndOriginalPending) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root may rename in a read-only folder";
    }
    writeFile(home / "Docs/Report.pdf", "content");
    // The folder turns read-only once the locked item is in place.
    afterPlacing([&](const fs::path& parent) { ::chmod(parent.c_str(), 0555); });
    const TesselaError error = lockFailure(home / "Docs/Report.pdf");
    ::chmod((home / "Docs").c_str(), 0755);
    EXPECT_EQ(error, TesselaError::lockedButOriginalRemains("Report.pdf"));
    EXPECT_EQ(readFile(home / "Docs/Report.pdf"), "content");
    EXPECT_TRUE(fs::exists(home / "Docs/Report.tessvault"));
    const std::vector<LockedItem> records = index.load();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].stage, LockedItem::Stage::originalPending);
    EXPECT_EQ(records[0].originalPath, (home / "Docs/Report.pdf").string());
    ASSERT_EQ(journal.load().size(), 1U);
}

// The name the original is renamed to before it is deleted can be seen (the id shows in the
// partial image's name) and taken first: the lock then uses a name nobody can foresee, and
// never touches what was put there.
TEST_F(LockTest, NameTakenBeforeTheOriginalIsRenamedAwayIsLeftAlone) {
    writeFile(home / "Docs/Report.pdf", "content");
    fs::path taken;
    beforeFlush([&](const fs::path& parent) {
        taken = parent / (".tessela-" + journal.load().at(0).id.string() + ".deleting");
        writeFile(taken, "someone else's");
    });
    (void)locker->lock(home / "Docs/Report.pdf", password, 1);
    EXPECT_EQ(readFile(taken), "someone else's");
    EXPECT_FALSE(fs::exists(home / "Docs/Report.pdf"));
    EXPECT_EQ(journal.load(), std::vector<JournalEntry>{});
}

// The locked item reaches the disk before it takes the item's name, its name before anything
// records it, and the original's deletion before the journal lets go of it.
TEST_F(LockTest, LockedItemIsDurableBeforeTheOriginalGoes) {
    writeFile(home / "Docs/Report.pdf", "content");
    (void)locker->lock(home / "Docs/Report.pdf", password, 1);
    EXPECT_EQ(
        testing::durabilityOrder(fileSystem.steps(), ".deleting", home / "Docs/Report.tessvault"),
        (std::vector<std::string>{"flush Docs", "journal", "Report.tessvault takes its name",
                                  "sync Docs", "journal", ".deleting goes", "sync Docs",
                                  "journal"}));
}

// A disk that cannot take the locked item's data (EIO, a full disk) fails the flush: the lock is
// undone before the item takes its name, and the next start has nothing to finish.
TEST_F(LockTest, FlushThatFailsLeavesTheOriginalAndNothingElse) {
    writeFile(home / "Docs/Report.pdf", "content");
    beforeFlush(
        [](const fs::path&) { throw std::system_error(EIO, std::generic_category(), "syncfs"); });
    EXPECT_THROW((void)locker->lock(home / "Docs/Report.pdf", password, 1), std::system_error);
    fileSystem.beforeStep = nullptr;
    EXPECT_EQ(readFile(home / "Docs/Report.pdf"), "content");
    expectNothingLeft(home / "Docs");
    EXPECT_EQ(locker->recover(), RecoveryReport{});
    EXPECT_EQ(readFile(home / "Docs/Report.pdf"), "content");
}

// An item on a FUSE file system (here a mounted gocryptfs volume): flushing the whole file
// system never asks its daemon to write, so the locked item is flushed file by file.
TEST_F(LockTest, ItemOnAFuseFileSystemIsFlushedFileByFile) {
    const fs::path remote = home / "Docs/Remote";
    fs::create_directories(remote);
    tool.attach(createImage("remote"), remote, password, false);
    writeFile(remote / "Plan/notes.txt", "notes");
    (void)locker->lock(remote / "Plan", password, 1);
    bool flushedFileByFile = false;
    for (const FileSystemStep& step : fileSystem.steps()) {
        flushedFileByFile =
            flushedFileByFile || (step.kind == FileSystemStep::Kind::syncTree &&
                                  step.path.filename().string().ends_with(".partial.sparsebundle"));
    }
    EXPECT_TRUE(flushedFileByFile);
    EXPECT_EQ(readFile(open(remote / "Plan.tessvault") / "notes.txt"), "notes");
}

// An original that changed at the last moment and cannot be put back at once stays where the
// journal names it, and the next start puts it back in view with its newest content.
TEST_F(LockTest, ChangedOriginalThatCannotBePutBackIsPutBackAtTheNextStart) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root may rename in a read-only folder";
    }
    writeFile(home / "Docs/Plan/notes.txt", "draft");
    fileSystem.beforeStep = [&](const FileSystemStep& step) {
        if (step.kind != FileSystemStep::Kind::rename) {
            return;
        }
        if (step.target.filename().string().ends_with(".deleting")) {
            writeFile(home / "Docs/Plan/notes.txt", "newest");  // after the last check
        } else if (step.path.filename().string().ends_with(".deleting")) {
            ::chmod((home / "Docs").c_str(), 0555);  // nowhere to put it back
        }
    };
    EXPECT_EQ(lockFailure(home / "Docs/Plan"), TesselaError::lockedButOriginalRemains("Plan"));
    ::chmod((home / "Docs").c_str(), 0755);
    fileSystem.beforeStep = nullptr;
    EXPECT_FALSE(fs::exists(home / "Docs/Plan"));

    EXPECT_EQ(locker->recover().keptChangedOriginals, 1);
    EXPECT_EQ(readFile(home / "Docs/Plan/notes.txt"), "newest");
    EXPECT_EQ(leftovers(home / "Docs"), std::vector<std::string>{});
}

TEST_F(LockTest, FailedDeletionReportsRemovalUnfinished) {
    writeFile(home / "Docs/Report.pdf", "content");
    beforeDeletingOriginal(
        [](const fs::path&) { throw std::system_error(EBUSY, std::generic_category(), "remove"); });
    EXPECT_EQ(lockFailure(home / "Docs/Report.pdf"),
              TesselaError::lockedButRemovalUnfinished("Report.pdf"));
    EXPECT_EQ(leftovers(home / "Docs").size(), 1U);
    EXPECT_EQ(journal.load().size(), 1U);
}

// Names that other systems keep at a folder's top are the user's content here: they are
// locked, verified and come back with the content.
TEST_F(LockTest, NamesFromOtherSystemsAtAFoldersTopAreLockedAndComeBack) {
    const fs::path tree = home / "Docs/Shared";
    writeFile(tree / ".DS_Store", "view settings");
    writeFile(tree / ".Trashes/501/old.txt", "kept in the bin");
    writeFile(tree / ".fseventsd/log", "events");
    writeFile(tree / ".Spotlight-V100/index", "index");
    writeFile(tree / "a.txt", "alpha");
    const LockedItem record = locker->lock(tree, password, 1);
    const fs::path restored = locker->removeLock(record.lastKnownPath, password);
    EXPECT_EQ(restored, tree);
    EXPECT_EQ(readFile(tree / ".DS_Store"), "view settings");
    EXPECT_EQ(readFile(tree / ".Trashes/501/old.txt"), "kept in the bin");
    EXPECT_EQ(readFile(tree / ".fseventsd/log"), "events");
    EXPECT_EQ(readFile(tree / ".Spotlight-V100/index"), "index");
    EXPECT_EQ(namesIn(tree), (std::vector<std::string>{".DS_Store", ".Spotlight-V100", ".Trashes",
                                                       ".fseventsd", "a.txt"}));
}

TEST_F(LockTest, FolderHoldingTheLocksOwnFileNamesIsRefusedUntouched) {
    for (const char* reserved : {".tessela-item.json", ".metadata_never_index"}) {
        const fs::path tree = home / "Docs/Records";
        writeFile(tree / reserved, "the user's own");
        EXPECT_EQ(lockFailure(tree), TesselaError::containsReservedName("Records", reserved));
        EXPECT_EQ(readFile(tree / reserved), "the user's own");
        expectNothingLeft(home / "Docs");
        fs::remove_all(tree);
    }
    // A file may bear the indexer stop file's name: it is the content, never replaced.
    writeFile(home / "Docs/.metadata_never_index", "notes");
    const LockedItem record = locker->lock(home / "Docs/.metadata_never_index", password, 1);
    EXPECT_EQ(readFile(open(record.lastKnownPath) / ".metadata_never_index"), "notes");
}

// An editor that rewrites a file in place and puts the old modification time back (rsync
// --inplace does) still changes the file's status-change time.
TEST_F(LockTest, InPlaceRewriteWithTheOldTimeRestoredIsNoticed) {
    writeFile(home / "Docs/Plan/notes.txt", "first draft");
    afterVerification([&] {
        const fs::path file = home / "Docs/Plan/notes.txt";
        const fs::file_time_type time = fs::last_write_time(file);
        writeFile(file, "final draft");
        fs::last_write_time(file, time);
    });
    EXPECT_EQ(lockFailure(home / "Docs/Plan"), TesselaError::changedWhileLocking());
    EXPECT_EQ(readFile(home / "Docs/Plan/notes.txt"), "final draft");
    expectNothingLeft(home / "Docs");
}

TEST_F(LockTest, FileOpenedForWritingDuringTheCopyStopsTheLock) {
    writeFile(home / "Docs/Plan/notes.txt", "draft");
    std::unique_ptr<testing::ChildProcess> editor;
    afterVerification([&] {
        editor = std::make_unique<testing::ChildProcess>(
            "/bin/sh", std::vector<std::string>{"-c", "exec 3>>\"$1\"; echo ready; read line", "sh",
                                                (home / "Docs/Plan/notes.txt").string()});
        ASSERT_EQ(editor->readLine(), "ready");
    });
    EXPECT_EQ(lockFailure(home / "Docs/Plan"), TesselaError::inUse({"sh"}));
    EXPECT_EQ(readFile(home / "Docs/Plan/notes.txt"), "draft");
    expectNothingLeft(home / "Docs");
}

// A save through a file that was already open when the last checks ran lands after the
// verification, here as a rewrite in place of the same size with the old time put back: the
// original no longer matches, so it stays and the lock is taken back, locked copy and record
// included.
TEST_F(LockTest, OriginalChangedAtTheLastMomentStaysAndTheLockIsTakenBack) {
    writeFile(home / "Docs/notes.txt", "draft");
    const int file = ::open((home / "Docs/notes.txt").c_str(), O_WRONLY);
    ASSERT_GE(file, 0);
    beforeFlush([&](const fs::path&) {
        struct stat before {};
        ASSERT_EQ(::fstat(file, &before), 0);
        ASSERT_EQ(::pwrite(file, "DRAFT", 5, 0), 5);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::futimens(file, times), 0);
    });
    EXPECT_EQ(lockFailure(home / "Docs/notes.txt"), TesselaError::changedWhileLocking());
    ::close(file);
    EXPECT_EQ(readFile(home / "Docs/notes.txt"), "DRAFT");
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"notes.txt"});
    expectNothingLeft(home / "Docs");
}

// A program working in a subfolder saves a new file there after the last check, while the
// renamed original is being deleted: that file was never locked, so it is never deleted.
TEST_F(LockTest, FileSavedIntoTheOriginalWhileItIsDeletedIsKept) {
    writeFile(home / "Docs/Plan/a.txt", "alpha");
    writeFile(home / "Docs/Plan/sub/b.txt", "beta");
    beforeDeletingOriginal([](const fs::path& deleting) {
        writeFile(deleting / "sub/new work.txt", "written after the check");
    });
    EXPECT_EQ(lockFailure(home / "Docs/Plan"), TesselaError::lockedButOriginalRemains("Plan"));
    EXPECT_EQ(readFile(home / "Docs/Plan/sub/new work.txt"), "written after the check");
    EXPECT_FALSE(fs::exists(home / "Docs/Plan/a.txt"));
    EXPECT_EQ(readFile(open(home / "Docs/Plan.tessvault") / "a.txt"), "alpha");
    EXPECT_EQ(locker->recover().keptChangedOriginals, 1);
    EXPECT_EQ(index.load().at(0).stage, LockedItem::Stage::complete);
}

TEST_F(LockTest, ReadOnlyFoldersAreLockedAndComeBackWithTheirModes) {
    const fs::path tree = home / "Docs/Archive";
    writeFile(tree / "sealed/old.txt", "old");
    writeFile(tree / "open.txt", "open");
    ::chmod((tree / "sealed").c_str(), 0555);
    ::chmod(tree.c_str(), 0555);
    const LockedItem record = locker->lock(tree, password, 1);
    EXPECT_FALSE(fs::exists(tree));
    EXPECT_EQ(locker->removeLock(record.lastKnownPath, password), tree);
    EXPECT_EQ(readFile(tree / "sealed/old.txt"), "old");
    EXPECT_EQ(testing::permissions(tree / "sealed"), 0555U);
    EXPECT_EQ(testing::permissions(tree), 0555U);
    expectNothingLeft(home / "Docs");
}

TEST_F(LockTest, CloudPlaceholderNamesAreOrdinaryFiles) {
    writeFile(home / "Docs/Synced/.report.pdf.icloud", "a file like any other");
    restart({.cloudDownloadTimeout = 1});
    const LockedItem record = locker->lock(home / "Docs/Synced", password, 1);
    EXPECT_EQ(readFile(open(record.lastKnownPath) / ".report.pdf.icloud"), "a file like any other");
}

TEST_F(LockTest, RefusedFolderIsRefusedWithoutBeingWalked) {
    writeFile(home / "Docs/a.txt", "a");
    // Reading a folder's entries sets its access time when that is older than its
    // modification time: an access time left at 1970 shows that nothing listed it.
    const struct timespec times[2] = {{0, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (home / "Docs").c_str(), times, 0), 0);
    EXPECT_EQ(lockFailure(home), TesselaError::refused(LockRefusal::homeFolder));
    struct stat info {};
    ASSERT_EQ(::stat((home / "Docs").c_str(), &info), 0);
    EXPECT_EQ(info.st_atim.tv_sec, 0);
}

TEST_F(LockTest, OriginalThatCouldNotBeRemovedIsRefusedBeforeAnyChange) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root may remove anything";
    }
    writeFile(home / "Docs/Fixed/Report.pdf", "content");
    ::chmod((home / "Docs/Fixed").c_str(), 0555);
    EXPECT_EQ(lockFailure(home / "Docs/Fixed/Report.pdf"),
              TesselaError::originalNotRemovable("Report.pdf"));
    ::chmod((home / "Docs/Fixed").c_str(), 0755);
    EXPECT_EQ(namesIn(home / "Docs/Fixed"), std::vector<std::string>{"Report.pdf"});
    expectNothingLeft(home / "Docs/Fixed");
}

TEST_F(LockTest, UnreadableRecordsStopTheLockBeforeAnyChange) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root reads everything";
    }
    writeFile(temp / "support/items.json", "[]");
    ::chmod((temp / "support/items.json").c_str(), 0);
    writeFile(home / "Docs/Report.pdf", "content");
    EXPECT_THROW((void)locker->lock(home / "Docs/Report.pdf", password, 1), std::system_error);
    EXPECT_EQ(namesIn(home / "Docs"), std::vector<std::string>{"Report.pdf"});
}

TEST_F(LockTest, PathsLongerThanTheSystemAllowsAreRefusedWithASentence) {
    // Made one level at a time, so that no single call sees the whole path.
    fs::path deep = home / "Docs/Deep";
    fs::create_directories(deep);
    const std::string level(200, 'd');
    int folder = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY);
    for (int depth = 0; depth < 25; ++depth) {
        ASSERT_EQ(::mkdirat(folder, level.c_str(), 0755), 0);
        const int next = ::openat(folder, level.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(folder);
        folder = next;
    }
    const int file = ::openat(folder, "leaf.txt", O_WRONLY | O_CREAT, 0644);
    ::close(file);
    ::close(folder);
    EXPECT_EQ(lockFailure(deep), TesselaError::pathTooLong("Deep"));
    EXPECT_TRUE(fs::exists(deep));
    expectNothingLeft(home / "Docs");
    EXPECT_EQ(std::system(("rm -rf '" + deep.string() + "'").c_str()), 0);
}

TEST_F(LockTest, CopyFailureNamesTheFileAndTheReason) {
    if (testing::runningAsRoot()) {
        GTEST_SKIP() << "root reads everything";
    }
    writeFile(home / "Docs/Project/secret.txt", "x");
    ::chmod((home / "Docs/Project/secret.txt").c_str(), 0);
    const TesselaError error = lockFailure(home / "Docs/Project");
    EXPECT_EQ(error, TesselaError::copyFailed("secret.txt could not be read (Permission denied)."));
    expectNothingLeft(home / "Docs");
}

// What each crash point leaves: where the original is, whether the image is at its partial or
// final name, and what the journal entry and the record say.
class LockCrashTest : public LockTest, public ::testing::WithParamInterface<CrashPoint> {};

TEST_P(LockCrashTest, LeavesExactlyWhatTheJournalDescribes) {
    const CrashPoint point = GetParam();
    writeFile(home / "Docs/Report.pdf", "content");
    restart({.crashPoint = point});
    EXPECT_THROW((void)locker->lock(home / "Docs/Report.pdf", password, 1), SimulatedCrash);

    const std::vector<JournalEntry> entries = journal.load();
    ASSERT_EQ(entries.size(), 1U);
    const JournalEntry& entry = entries[0];
    const std::string id = entry.id.string();
    const fs::path partial = home / "Docs" / (".tessela-" + id + ".partial.sparsebundle");
    const fs::path deleting = home / "Docs" / (".tessela-" + id + ".deleting");
    const fs::path locked = home / "Docs/Report.tessvault";
    EXPECT_EQ(entry.kind, JournalEntry::Kind::lock);
    EXPECT_EQ(entry.originalPath, (home / "Docs/Report.pdf").string());
    EXPECT_EQ(entry.partialPath, partial.string());
    EXPECT_EQ(entry.finalPath, locked.string());

    const int step = static_cast<int>(point);
    const bool moved = step >= static_cast<int>(CrashPoint::lockAfterMove);
    const bool verified = step >= static_cast<int>(CrashPoint::lockBeforeRename);
    const bool recorded = step >= static_cast<int>(CrashPoint::lockAfterRename);
    const bool renamedAway = step >= static_cast<int>(CrashPoint::lockAfterRenameToDeleting);
    const bool deleted = step >= static_cast<int>(CrashPoint::lockAfterDeleteOriginal);

    EXPECT_EQ(fs::exists(partial), !moved);
    EXPECT_EQ(fs::exists(locked), moved);
    EXPECT_EQ(entry.lockedIdentity.has_value(), verified);
    EXPECT_EQ(entry.lockedAt.has_value(), verified);
    if (verified) {
        EXPECT_EQ(entry.lockedIdentity, FileIdentity::of(moved ? locked : partial));
    }
    EXPECT_EQ(entry.deletingPath.has_value(), renamedAway);
    EXPECT_EQ(fs::exists(home / "Docs/Report.pdf"), !renamedAway);
    if (!renamedAway) {
        EXPECT_EQ(readFile(home / "Docs/Report.pdf"), "content");
    }
    EXPECT_EQ(fs::exists(deleting), renamedAway && !deleted);

    const std::vector<LockedItem> records = index.load();
    ASSERT_EQ(records.size(), recorded ? 1U : 0U);
    if (recorded) {
        EXPECT_EQ(records[0].id, entry.id);
        EXPECT_EQ(records[0].stage, LockedItem::Stage::originalPending);
        EXPECT_EQ(records[0].originalPath, (home / "Docs/Report.pdf").string());
        EXPECT_EQ(entry.lockedAt, records[0].createdAt);
    }
    // The copy is written into the container directly: nothing is mounted until it is verified.
    EXPECT_FALSE(isMounted(mountsRoot / id));
}

INSTANTIATE_TEST_SUITE_P(AllLockCrashPoints, LockCrashTest,
                         ::testing::Values(CrashPoint::lockAfterCreate, CrashPoint::lockAfterCopy,
                                           CrashPoint::lockAfterVerify,
                                           CrashPoint::lockBeforeRename, CrashPoint::lockAfterMove,
                                           CrashPoint::lockAfterRename,
                                           CrashPoint::lockAfterRenameToDeleting,
                                           CrashPoint::lockAfterDeleteOriginal),
                         testing::crashPointName);

}  // namespace
}  // namespace tessela
