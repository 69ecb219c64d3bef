// The engine run by root against another local user who can write next to root's items: a
// shared sticky folder like /tmp, or a drop folder inside an item. Started as root, the test
// command runs these against its ordinary test user; run as anyone else they are skipped.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <thread>

#include "commands/sender_check.h"
#include "engine/engine_fixture.h"
#include "files/deletability.h"
#include "files/file_identity.h"
#include "posix/unique_fd.h"
#include "support/unix_socket.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
};

// The ordinary user who attacks: TESSELA_TEST_USER, else the test command's own user.
std::optional<Account> attackerAccount() {
    const char* name = std::getenv("TESSELA_TEST_USER");
    const passwd* entry = ::getpwnam(name != nullptr && *name != '\0' ? name : "tessela-test");
    if (entry == nullptr) {
        return std::nullopt;
    }
    return Account{entry->pw_uid, entry->pw_gid};
}

// A process running `action` as the attacker. `wait` returns whether it succeeded; a process
// still running when the object goes away is killed.
class AsAttacker {
  public:
    AsAttacker(const Account& account, const std::function<void()>& action) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 ||
                ::setuid(account.uid) != 0) {
                ::_exit(2);
            }
            try {
                action();
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
    }
    ~AsAttacker() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            (void)wait();
        }
    }
    AsAttacker(const AsAttacker&) = delete;
    AsAttacker& operator=(const AsAttacker&) = delete;

    bool wait() {
        int status = 0;
        const bool waited = ::waitpid(pid_, &status, 0) == pid_;
        pid_ = -1;
        return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

  private:
    pid_t pid_ = -1;
};

void check(bool done, const char* what) {
    if (!done) {
        throw std::system_error(errno, std::generic_category(), what);
    }
}

class HostileUserTest : public testing::EngineTest {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "runs as root against an ordinary user (the test command does this)";
        }
        attacker = attackerAccount().value_or(Account{});
        if (attacker.uid == 0) {
            GTEST_SKIP() << "no ordinary test user to attack with";
        }
        EngineTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        ::chmod(temp.path().c_str(), 0755);
        fs::create_directories(shared);
        ::chmod(shared.c_str(), 01777);  // like /tmp
        // A file only root may read or write.
        fs::create_directories(temp / "root-only");
        ::chmod((temp / "root-only").c_str(), 0700);
        writeFile(rootOnly, "root's own");
        ::chmod(rootOnly.c_str(), 0600);
    }

    void run(const std::function<void()>& action) {
        AsAttacker process(attacker, action);
        ASSERT_TRUE(process.wait());
    }

    void expectRootOnlyUntouched() {
        struct stat info {};
        ASSERT_EQ(::lstat(rootOnly.c_str(), &info), 0);
        EXPECT_EQ(readFile(rootOnly), "root's own");
        EXPECT_EQ(info.st_mode & 07777, 0600U);
        EXPECT_EQ(info.st_uid, 0U);
    }

    Account attacker;
    fs::path shared = temp / "shared";
    fs::path rootOnly = temp / "root-only/secret";
};

// The hidden copy's usual name is predictable (the item's id shows in the locked item's hidden
// names): a link planted there, even between the look and the making, must neither receive the
// decrypted content nor stop the removal. Another free hidden name is taken.
TEST_F(HostileUserTest, LinksPlantedAtTheRestoredCopysNameNeitherReceiveNorBlock) {
    writeFile(shared / "payroll.txt", "salaries");
    writeFile(shared / "ledger.txt", "accounts");
    const LockedItem payroll = locker->lock(shared / "payroll.txt", password, 1);
    const LockedItem ledger = locker->lock(shared / "ledger.txt", password, 1);
    const fs::path theirs = shared / "collect";
    const fs::path planted = shared / (".tessela-" + payroll.id.string() + ".restoring");
    run([&] {
        check(::mkdir(theirs.c_str(), 0777) == 0, "mkdir");
        check(::symlink(rootOnly.c_str(), planted.c_str()) == 0, "symlink");
    });
    EXPECT_EQ(readFile(locker->removeLock(payroll.lastKnownPath, password)), "salaries");

    // The second is planted only once the removal has looked and is about to make its folder.
    const fs::path late = shared / (".tessela-" + ledger.id.string() + ".restoring");
    fileSystem.beforeStep = [&, done = false](const testing::FileSystemStep& step) mutable {
        if (!done && step.kind == testing::FileSystemStep::Kind::makeFolder) {
            done = true;
            run([&] { check(::symlink(theirs.c_str(), late.c_str()) == 0, "symlink"); });
        }
    };
    EXPECT_EQ(readFile(locker->removeLock(ledger.lastKnownPath, password)), "accounts");

    expectRootOnlyUntouched();
    EXPECT_EQ(testing::namesIn(theirs), std::vector<std::string>{});
    EXPECT_TRUE(fs::is_symlink(planted));
    EXPECT_TRUE(fs::is_symlink(late));
    std::vector<std::string> plants{planted.filename().string(), late.filename().string()};
    std::ranges::sort(plants);
    EXPECT_EQ(leftovers(shared), plants);
    EXPECT_EQ(journal.load(), std::vector<JournalEntry>{});
}

// A removal cut short after its journal named the hidden copy but before it made it: what
// another user then puts at that name is not the copy, and recovery leaves it to them.
TEST_F(HostileUserTest, RecoveryNeverRemovesWhatAnotherUserPutAtTheCopysName) {
    writeFile(shared / "payroll.txt", "salaries");
    const LockedItem record = locker->lock(shared / "payroll.txt", password, 1);
    const fs::path hidden = shared / (".tessela-" + record.id.string() + ".restoring");
    journal.add(JournalEntry(record.id, JournalEntry::Kind::restore, record.lastKnownPath,
                             hidden.string(), "", FileIdentity::of(record.lastKnownPath)));
    run([&] {
        check(::mkdir(hidden.c_str(), 0755) == 0, "mkdir");
        writeFile(hidden / "theirs.txt", "the attacker's");
    });
    (void)locker->recover();
    EXPECT_EQ(readFile(hidden / "theirs.txt"), "the attacker's");
    EXPECT_EQ(journal.load(), std::vector<JournalEntry>{});
    EXPECT_TRUE(fs::exists(record.lastKnownPath));
}

// A link named like a locked item, planted in a shared folder, points at root's own item: removing
// "its" lock must not decrypt root's item next to the link.
TEST_F(HostileUserTest, LockedItemLinkedIntoASharedFolderIsNeverRestoredThere) {
    fs::create_directories(temp / "root-only/Docs");
    writeFile(temp / "root-only/Docs/payroll.txt", "salaries");
    const LockedItem record = locker->lock(temp / "root-only/Docs/payroll.txt", password, 1);
    const fs::path planted = shared / "payroll.tessvault";
    run([&] { check(::symlink(record.lastKnownPath.c_str(), planted.c_str()) == 0, "symlink"); });

    EXPECT_THROW((void)locker->removeLock(planted, password), TesselaError);
    EXPECT_EQ(testing::namesIn(shared), std::vector<std::string>{"payroll.tessvault"});
    EXPECT_TRUE(fs::is_symlink(planted));
    EXPECT_TRUE(fs::is_directory(record.lastKnownPath));
    EXPECT_EQ(locker->lockedItems().size(), 1U);
}

// A drop folder inside root's item lets the attacker swap a folder for a link, again and again,
// while root prepares the item for deletion: nothing outside the tree may change mode.
TEST_F(HostileUserTest, FolderSwappedForALinkDuringDeletionChangesNothingOutside) {
    const fs::path project = home / "Docs/Project";
    const fs::path drop = project / "drop";
    fs::create_directories(drop);
    ::chmod(drop.c_str(), 0777);
    ::chmod(project.c_str(), 0755);
    ::chmod((home / "Docs").c_str(), 0755);
    ::chmod(home.c_str(), 0755);
    const fs::path folder = drop / "d";
    const fs::path link = drop / "l";
    run([&] {
        check(::mkdir(folder.c_str(), 0500) == 0, "mkdir");
        check(::symlink(rootOnly.c_str(), link.c_str()) == 0, "symlink");
    });
    AsAttacker swapper(attacker, [&] {
        writeFile(drop / "swapping", "");
        for (;;) {
            ::chmod(folder.c_str(), 0500);  // a folder its owner cannot write, again
            ::renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
        }
    });
    while (!fs::exists(drop / "swapping")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < end) {
        makeDeletable(project);
    }
    try {
        (void)Folder::open(project.parent_path()).removeTree(project.filename().string());
    } catch (const std::system_error&) {
        // The attacker may keep the tree from going; it may never reach outside it.
    }
    expectRootOnlyUntouched();
}

// A bind mount (like sshfs or a cloud drive) inside an item is another file system's content:
// the lock refuses it, and a deletion never enters it.
TEST_F(HostileUserTest, OtherFileSystemMountedInsideIsRefusedAndNeverEmptied) {
    const fs::path project = home / "Docs/Project";
    writeFile(project / "mine.txt", "mine");
    fs::create_directories(project / "mounted");
    writeFile(temp / "other/theirs.txt", "on another file system");
    ASSERT_EQ(
        ::mount((temp / "other").c_str(), (project / "mounted").c_str(), nullptr, MS_BIND, nullptr),
        0);
    struct Unmount {
        fs::path point;
        ~Unmount() { ::umount2(point.c_str(), MNT_DETACH); }
    } unmount{project / "mounted"};

    EXPECT_EQ(lockFailure(project), TesselaError::containsMountedDisk("Project"));
    try {
        (void)Folder::open(project.parent_path()).removeTree(project.filename().string());
        ADD_FAILURE() << "removed a tree with a mount inside";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EXDEV);
    }
    EXPECT_EQ(readFile(temp / "other/theirs.txt"), "on another file system");
}

TEST_F(HostileUserTest, RestoredFolderBelongsToItsOwnerAgain) {
    const fs::path project = home / "Docs/Project";
    writeFile(project / "a.txt", "alpha");
    ASSERT_EQ(::chown(project.c_str(), attacker.uid, attacker.gid), 0);
    ASSERT_EQ(::chown((project / "a.txt").c_str(), attacker.uid, attacker.gid), 0);
    const LockedItem record = locker->lock(project, password, 1);
    EXPECT_EQ(locker->removeLock(record.lastKnownPath, password), project);
    struct stat info {};
    ASSERT_EQ(::stat(project.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, attacker.uid);
    EXPECT_EQ(info.st_gid, attacker.gid);
    ASSERT_EQ(::stat((project / "a.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, attacker.uid);
}

// The name an original is renamed to before it is deleted is visible (from the partial image)
// and can be taken first by another user in a shared folder. Root's lock never takes what sits
// there for the original: it uses a name nobody can foresee and leaves the plant alone.
TEST_F(HostileUserTest, FolderPlantedAtTheDeletingNameIsNeverTakenForTheOriginal) {
    writeFile(shared / "Secret/plan.txt", "root's plan");
    fs::path planted;
    beforeFlush([&](const fs::path&) {
        planted = shared / (".tessela-" + journal.load().at(0).id.string() + ".deleting");
        run([&] {
            check(::mkdir(planted.c_str(), 0777) == 0, "mkdir");
            writeFile(planted / "plan.txt", "the attacker's plan");
        });
    });
    const LockedItem record = locker->lock(shared / "Secret", password, 1);
    EXPECT_FALSE(fs::exists(shared / "Secret"));
    EXPECT_EQ(readFile(planted / "plan.txt"), "the attacker's plan");
    EXPECT_EQ(readFile(open(record.lastKnownPath) / "plan.txt"), "root's plan");
}

// Someone else's bundle is refused before any tool runs on it; and a bundle planted at the path
// an item has left is never taken for that item when the owner forgets "it".
TEST_F(HostileUserTest, AnotherUsersBundleIsNeitherOpenedNorForgottenForOurs) {
    writeFile(shared / "R.txt", "root's");
    const LockedItem record = locker->lock(shared / "R.txt", password, 1);
    const fs::path left = shared / "R.tessvault";
    fs::rename(left, shared / "S.tessvault");
    const fs::path theirSupport = temp / "their-support";
    fs::create_directories(theirSupport);
    ASSERT_EQ(::chown(theirSupport.c_str(), attacker.uid, attacker.gid), 0);
    run([&] {
        check(::mkdir(left.c_str(), 0755) == 0, "mkdir");
        Locker theirs(theirSupport, theirSupport, std::nullopt, tool, {});
        try {
            (void)theirs.unlock(shared / "S.tessvault", password);
        } catch (const TesselaError& error) {
            check(error.errorCase() == TesselaError::Case::notLocked, "refused as not locked");
            return;
        }
        check(false, "opened someone else's bundle");
    });
    EXPECT_EQ(locker->recordToForget(left), std::nullopt);
    ASSERT_NE(locker->recordToForget(shared / "S.tessvault"), std::nullopt);
    EXPECT_EQ(locker->recordToForget(shared / "S.tessvault")->id, record.id);
}

// Even root cannot remove an item from an immutable folder: the lock is refused before it
// changes anything, rather than ending with the original still there.
TEST_F(HostileUserTest, ItemInAnImmutableFolderIsRefusedEvenForRoot) {
    writeFile(home / "Docs/Fixed/Report.pdf", "content");
    const auto setImmutable = [&](bool on) {
        const UniqueFd folder(::open((home / "Docs/Fixed").c_str(), O_RDONLY | O_DIRECTORY));
        int flags = 0;
        if (!folder || ::ioctl(folder.get(), FS_IOC_GETFLAGS, &flags) != 0) {
            return false;
        }
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        return ::ioctl(folder.get(), FS_IOC_SETFLAGS, &flags) == 0;
    };
    if (!setImmutable(true)) {
        GTEST_SKIP() << "this file system has no immutable attribute";
    }
    // Cleared again however the test ends: not even root could remove the folder otherwise.
    struct Cleared {
        std::function<bool(bool)> set;
        ~Cleared() { (void)set(false); }
    } const cleared{setImmutable};
    const TesselaError error = lockFailure(home / "Docs/Fixed/Report.pdf");
    ASSERT_TRUE(setImmutable(false));
    EXPECT_EQ(error, TesselaError::originalNotRemovable("Report.pdf"));
    EXPECT_EQ(testing::namesIn(home / "Docs/Fixed"), std::vector<std::string>{"Report.pdf"});
    expectNothingLeft(home / "Docs/Fixed");
}

// A command from another user's process is never identified, not even when that process runs
// Tessela's own program: it is the same file, but not the same user.
TEST_F(HostileUserTest, PeerOfAnotherUserIsUnidentifiedEvenRunningTesselasOwnProgram) {
    const fs::path path = shared / "command.sock";
    const UniqueFd listener = testing::listeningSocket(path);
    ::chmod(path.c_str(), 0666);
    const sockaddr_un address = testing::unixAddress(path);
    // The attacker's process is a copy of this very program (a fork, no exec).
    AsAttacker peer(attacker, [&] {
        const int connection = ::socket(AF_UNIX, SOCK_STREAM, 0);
        check(
            ::connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0,
            "connect");
        ::pause();
    });
    const UniqueFd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    EXPECT_EQ(SenderCheck::signingIdentifier(accepted.get(), SenderCheck::Programs::installed()),
              std::nullopt);
}

}  // namespace
}  // namespace tessela
