// The application's model on the real engine (gocryptfs), a real keyring and a notification
// service double on a private session bus, offscreen.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <qcoro/qcorotask.h>
#include <QApplication>
#include <QDesktopServices>
#include <QAbstractButton>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QThread>
#include <QUrl>

#include <QTimer>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "commands/sender_check.h"
#include "model/app_model.h"
#include "model/app_paths.h"
#include "model/password_store.h"
#include "process/process_runner.h"
#include "secrets/shared_state.h"
#include "support/child_process.h"
#include "support/fuse_fixture.h"
#include "support/keyring_session.h"
#include "support/model_fixture.h"
#include "support/offscreen_application.h"
#include "support/raw_keyring_item.h"
#include "support/scripted_questions.h"
#include "views/application.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::Question;
using testing::readFile;
using testing::settle;
namespace answer = testing::answer;
using testing::writeFile;

class AppModelTest : public testing::ModelFixture {
  protected:
    void TearDown() override {
        notifications.reset();
        ModelFixture::TearDown();
    }

    // A lock made before the application starts, with the same records.
    LockedItem lockBefore(const std::string& item, std::int64_t generation,
                          std::optional<CrashPoint> crash = std::nullopt) {
        writeFile(home / "Docs" / item, "content of " + item);
        Locker locker(temp / "support", home, std::nullopt, tool, {.crashPoint = crash});
        return locker.lock(home / "Docs" / item, password, generation);
    }

    // The notification service's double on the session bus, logging its calls.
    void startNotifications() {
        notifications = testing::startDBusMock(
            std::getenv("DBUS_SESSION_BUS_ADDRESS"), false,
            {"--template", "notification_daemon", "-l", (temp / "notify.log").string()},
            "org.freedesktop.Notifications");
    }

    std::unique_ptr<testing::ChildProcess> notifications;
};

TEST_F(AppModelTest, StartUpRecoversNotifiesAndThenRunsQueuedCommandsInOrder) {
    startNotifications();
    EXPECT_THROW((void)lockBefore("Interrupted.txt", 1, CrashPoint::lockAfterCopy), SimulatedCrash);
    const LockedItem taxes = lockBefore("Taxes.txt", 1);

    AppModel model(options(), questions);
    std::vector<std::pair<TesselaCommand, bool>> handed;
    QObject::connect(&model, &AppModel::commandStarted, [&](const TesselaCommand& command) {
        handed.emplace_back(command, model.isReady());
    });
    const TesselaCommand first = TesselaCommand::lockNow({taxes.lastKnownPath});
    const TesselaCommand second = TesselaCommand::unlock(taxes.lastKnownPath);
    model.handle(first);
    model.handle(second);
    EXPECT_TRUE(handed.empty());       // not ready: queued
    questions.then(answer::cancel());  // the unlock asks for a password: none is kept

    ASSERT_TRUE(QCoro::waitFor(model.start()));
    EXPECT_TRUE(settle([&] { return handed.size() == 2 && questions.left() == 0; }));
    EXPECT_EQ(handed,
              (std::vector<std::pair<TesselaCommand, bool>>{{first, true}, {second, true}}));
    EXPECT_EQ(model.items().rows().size(), 1U);  // the interrupted lock was undone
    EXPECT_TRUE(fs::exists(home / "Docs/Interrupted.txt"));
    QCoreApplication::processEvents();
    for (int waited = 0;
         waited < 100 && readFile(temp / "notify.log").find("Notify") == std::string::npos;
         ++waited) {
        QThread::msleep(50);
        QCoreApplication::processEvents();
    }
    const std::string log = readFile(temp / "notify.log");
    EXPECT_NE(log.find("\"Tessela\""), std::string::npos) << log;
    EXPECT_NE(log.find("It stopped 1 unfinished lock and left that original unchanged."),
              std::string::npos)
        << log;

    // A second copy of the application finds the support folder taken.
    AppModel another(options(), questions);
    EXPECT_FALSE(QCoro::waitFor(another.start()));
}

TEST_F(AppModelTest, RowsFollowTheIndexTheDiskAndThePasswordAndTheStateIsPublished) {
    const LockedItem ten = lockBefore("Item 10.txt", 1);
    const LockedItem two = lockBefore("item 2.txt", 2);
    const LockedItem one = lockBefore("Item 1.txt", 0);
    const LockedItem gone = lockBefore("Gone.txt", 1);
    fs::remove_all(gone.lastKnownPath);
    PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 2, {}, {}});

    AppModel model(options(), questions);
    ASSERT_TRUE(QCoro::waitFor(model.start()));
    const OpenItem open = model.locker().unlock(two.lastKnownPath, password);
    QCoro::waitFor(model.refresh());

    std::vector<std::string> names;
    for (const ItemRow& row : model.items().rows()) {
        names.push_back(row.name);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"Gone.txt", "Item 1.txt", "item 2.txt", "Item 10.txt"}));
    const ItemRow& missing = model.items().rows()[0];
    EXPECT_EQ(missing.url, std::nullopt);
    EXPECT_EQ(missing.size, std::nullopt);
    EXPECT_EQ(missing.location, gone.lastKnownPath);
    EXPECT_TRUE(missing.needsPasswordUpdate);
    EXPECT_FALSE(model.items().rows()[1].needsPasswordUpdate);  // generation 0 never shows it
    EXPECT_TRUE(model.items().rows()[2].isOpen);
    EXPECT_EQ(model.items().rows()[3].location, (home / "Docs").string());
    EXPECT_GT(*model.items().rows()[3].size, 0);
    EXPECT_EQ(model.items().displayName(ten.lastKnownPath), "Item 10.txt");
    EXPECT_EQ(model.items().displayName(home / "Docs/Other.tessvault"), "Other");

    // The file-manager menu's state lists the open item, by its real path.
    const auto published = SharedState::read(SharedState::defaultURL());
    ASSERT_TRUE(published);
    EXPECT_EQ(published->unlockedPaths,
              std::vector<std::string>{fs::canonical(two.lastKnownPath).string()});
    model.locker().relock(open, false);

    // Forgetting drops the row and touches nothing on disk.
    QCoro::waitFor(model.forget(model.items().rows()[3]));
    EXPECT_EQ(model.items().rows().size(), 3U);
    EXPECT_TRUE(fs::exists(ten.lastKnownPath));
}

TEST_F(AppModelTest, UnderTheTestOverrideNoStateIsPublished) {
    AppModel model(options(true), questions);
    ASSERT_TRUE(QCoro::waitFor(model.start()));
    EXPECT_FALSE(fs::exists(*SharedState::defaultURL()));
}

// Stands in for the desktop's opener of file URLs, recording what it was asked to open.
class Opener : public QObject {
    Q_OBJECT

  public:
    Q_INVOKABLE void open(const QUrl& url) { opened.push_back(url.toLocalFile().toStdString()); }
    std::vector<std::string> opened;
};

TEST_F(AppModelTest, RevealShowsTheItemInTheFileManagerOrOpensWhatItCan) {
    const LockedItem taxes = lockBefore("Taxes.txt", 1);
    const LockedItem notes = lockBefore("Notes.txt", 1);
    Opener opener;
    QDesktopServices::setUrlHandler("file", &opener, "open");
    AppModel model(options(true), questions);
    ASSERT_TRUE(QCoro::waitFor(model.start()));

    // No file manager on the bus: the item's folder is opened.
    QCoro::waitFor(model.reveal(taxes.lastKnownPath));
    EXPECT_EQ(opener.opened, std::vector<std::string>{(home / "Docs").string()});

    // A file manager that answers is asked to show the item itself.
    const std::string bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const auto fileManager = testing::startDBusMock(
        bus, false,
        {"org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
         "org.freedesktop.FileManager1", "-l", (temp / "files.log").string()},
        "org.freedesktop.FileManager1");
    ASSERT_EQ(ProcessRunner::run(
                  "/usr/bin/gdbus",
                  {"call", "--address", bus, "-d", "org.freedesktop.FileManager1", "-o",
                   "/org/freedesktop/FileManager1", "-m", "org.freedesktop.DBus.Mock.AddMethod",
                   "org.freedesktop.FileManager1", "ShowItems", "ass", "", ""})
                  .status,
              0);
    QCoro::waitFor(model.reveal(taxes.lastKnownPath));
    EXPECT_NE(readFile(temp / "files.log").find("ShowItems"), std::string::npos);
    EXPECT_EQ(opener.opened.size(), 1U);

    // An open item is presented: its files, opened.
    const OpenItem open = model.locker().unlock(notes.lastKnownPath, password);
    QCoro::waitFor(model.refresh());
    QCoro::waitFor(model.reveal(notes.lastKnownPath));
    EXPECT_EQ(opener.opened.back(), open.contentURL().string());
    model.locker().relock(open, false);
    QDesktopServices::unsetUrlHandler("file");
}

TEST_F(AppModelTest, LockingSeveralItemsReportsEachOneAndCancelInThePanelChangesNothing) {
    PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 1, {}, {}});
    const std::string big(32 << 20, 'b');
    writeFile(home / "Docs/Big.bin", big);
    writeFile(home / "Docs/Notes.txt", "notes");
    startNotifications();
    AppModel model(options(true), questions);
    ASSERT_TRUE(QCoro::waitFor(model.start()));

    // The panel's Cancel is pressed as soon as the first item's panel is up.
    QStringList messages;
    QStringList amounts;
    QStringList running;  // the jobs running when Cancel is pressed
    QObject::connect(&model.progress().state(), &ProgressState::changed, [&] {
        messages << model.progress().state().message();
        if (!model.progress().state().amount().isEmpty()) {
            amounts << model.progress().state().amount();
        }
        if (messages.size() == 1) {
            QTimer::singleShot(0, [&] {
                for (const auto& job : model.runningJobs()) {
                    running << QString::fromStdString(job->itemName());
                }
                model.progress().state().cancel();
            });
        }
    });
    questions.then(answer::press("OK"));
    // Two requests at once: the second waits for the panel, so Cancel reaches the item shown.
    auto first = model.lock({home / "Docs/Big.bin", home / "Docs/Nope.txt"});
    // The second as the file manager asks: a lock too quick to read the panel is notified.
    auto second = model.lock({home / "Docs/Notes.txt"}, true);
    // Waiting for the running jobs (as quitting does) resumes once none is left running.
    std::optional<std::size_t> runningAfterWait;
    QTimer::singleShot(0, [&] {
        [](AppModel& waited, std::optional<std::size_t>& left) -> QCoro::Task<> {
            co_await waited.waitForJobs();
            left = waited.runningJobs().size();
        }(model, runningAfterWait);
    });
    QCoro::waitFor(std::move(first));
    QCoro::waitFor(std::move(second));
    EXPECT_EQ(running, QStringList{"Big.bin"});  // the other request waits for the panel
    EXPECT_EQ(runningAfterWait, std::optional<std::size_t>(0));
    EXPECT_TRUE(model.runningJobs().empty());

    // Cancelled: untouched, said in the panel and nowhere else. The missing item: one alert.
    // The other request's item: locked, with the bytes copied shown, and notified.
    EXPECT_EQ(messages.front(), "Getting Big.bin ready…");
    EXPECT_LT(messages.indexOf("Cancelled. Nothing was changed."),
              messages.indexOf("Getting Nope.txt ready…"));
    EXPECT_EQ(amounts.back(), "100% (5 bytes of 5 bytes)") << amounts.join(", ").toStdString();
    EXPECT_LT(messages.indexOf("Getting Nope.txt ready…"),
              messages.indexOf("Getting Notes.txt ready…"));
    EXPECT_EQ(readFile(home / "Docs/Big.bin"), big);
    EXPECT_FALSE(fs::exists(home / "Docs/Big.tessvault"));
    EXPECT_EQ(questions.seen,
              std::vector<std::string>{"Could not lock Nope.txt | That item no longer exists."});
    EXPECT_TRUE(questions.unexpected.empty());
    EXPECT_TRUE(messages.contains("Encrypting Notes.txt…")) << messages.join(", ").toStdString();
    EXPECT_FALSE(fs::exists(home / "Docs/Notes.txt"));
    EXPECT_FALSE(model.progress().isShown());
    EXPECT_TRUE(model.activity().isIdle());
    ASSERT_EQ(model.items().rows().size(), 1U);
    EXPECT_TRUE(settle([&] {
        return readFile(temp / "notify.log").find("Notes.txt is locked") != std::string::npos;
    }));
    EXPECT_EQ(readFile(temp / "notify.log").find("Big.bin is locked"), std::string::npos);

    // A name in the earlier style given to the new item meanwhile is repaired within seconds,
    // and the list follows.
    fs::rename(home / "Docs/Notes.tessvault", home / "Docs/Notes.txt.tessvault");
    QCoro::waitFor(model.refresh());
    ASSERT_EQ(model.items().rows()[0].url, home / "Docs/Notes.txt.tessvault");
    EXPECT_TRUE(settle([&] {
        return !model.items().rows().empty() &&
               model.items().rows()[0].url == home / "Docs/Notes.tessvault";
    }));
}

TEST_F(AppModelTest, OpeningAsksForThePasswordAndLockingAgainAndRemovingTheLockFinish) {
    const LockedItem taxes = lockBefore("Taxes.txt", 1);
    writeFile(home / "Docs/Old.txt", "old");
    const LockedItem old = Locker(temp / "support", home, std::nullopt, tool)
                               .lock(home / "Docs/Old.txt", "an earlier password", 0);
    PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 1, {}, {}});
    Opener opener;
    QDesktopServices::setUrlHandler("file", &opener, "open");
    AppModel model(options(true), questions);
    model.setTouchIDEnabled(false);
    ASSERT_TRUE(QCoro::waitFor(model.start()));

    // Five wrong passwords end it without a word; Return pressed on an empty field is no try.
    questions.then(answer::type(""));
    for (int attempt = 0; attempt < 5; ++attempt) {
        questions.then(answer::type("wrong"));
    }
    QCoro::waitFor(model.unlock(taxes.lastKnownPath));
    ASSERT_EQ(questions.seen.size(), 6U);
    EXPECT_NE(questions.seen[1].find("Tessela needs your password to unlock Taxes.txt."),
              std::string::npos);
    EXPECT_NE(questions.seen[5].find("That password did not work. Try again."), std::string::npos);
    EXPECT_TRUE(model.items().openItems().empty());

    // The right one opens it and shows its file; asking again only shows it.
    questions.then(answer::type(password));
    QCoro::waitFor(model.unlock(taxes.lastKnownPath));
    ASSERT_EQ(model.items().openItems().size(), 1U);
    const OpenItem open = model.items().openItems()[0];
    EXPECT_EQ(opener.opened, std::vector<std::string>{open.contentURL().string()});
    QCoro::waitFor(model.unlock(taxes.lastKnownPath));
    EXPECT_EQ(opener.opened.size(), 2U);
    EXPECT_EQ(questions.seen.size(), 7U);

    // An item on a password the keyring does not keep asks for its own until it works.
    questions.then(answer::type(password))
        .then(answer::type("still wrong"))
        .then(answer::type("an earlier password"));
    QCoro::waitFor(model.unlock(old.lastKnownPath));
    ASSERT_EQ(questions.seen.size(), 10U);
    EXPECT_NE(questions.seen[8].find("This item uses a different password"), std::string::npos);
    EXPECT_NE(questions.seen[9].find("This item uses a different password"), std::string::npos);
    EXPECT_EQ(model.items().openItems().size(), 2U);

    // Files in use: quietly left open, or forced when the user says so.
    {
        std::ifstream held(open.contentURL());
        ASSERT_TRUE(held.is_open());
        EXPECT_FALSE(QCoro::waitFor(model.relock(open, false)));
        EXPECT_EQ(questions.seen.size(), 10U);
        questions.then(answer::press("Force Lock"));
        EXPECT_TRUE(QCoro::waitFor(model.relock(open, true)));
        ASSERT_EQ(questions.seen.size(), 11U);
        EXPECT_EQ(questions.seen[10].rfind("Taxes.txt is still in use | Files are open in ", 0), 0U)
            << questions.seen[10];
    }
    // An answer about an opening that was locked and opened again while it was asked forces
    // nothing: the new opening is the user's new work.
    {
        const OpenItem first = model.locker().unlock(taxes.lastKnownPath, password);
        auto held = std::make_unique<std::ifstream>(first.contentURL());
        std::optional<OpenItem> again;
        questions
            .then([&](const Question& alert) {
                held.reset();
                EXPECT_TRUE(QCoro::waitFor(model.relock(first, false)));
                QCoro::waitFor(model.unlock(taxes.lastKnownPath));  // asks for the password
                again = model.locker().openItem(taxes.lastKnownPath);
                return answer::press("Force Lock")(alert);
            })
            .then(answer::type(password));
        EXPECT_FALSE(QCoro::waitFor(model.relock(first, true)));
        ASSERT_TRUE(again.has_value());
        EXPECT_EQ(model.locker().openItem(taxes.lastKnownPath), again);
        model.locker().relock(*again, false);
    }

    // Everything locked, then one lock removed: ordinary files again, shown in their folder.
    // Its own password is asked for with the panel out of the way; an empty answer asks again.
    QCoro::waitFor(model.lockAll());
    EXPECT_TRUE(model.items().openItems().empty());
    bool panelAside = false;
    questions
        .then([](const Question& confirmation) {
            EXPECT_EQ(confirmation.buttons[confirmation.defaultButton], "Cancel");  // Return
            return answer::press("Remove Lock")(confirmation);
        })
        .then(answer::type(password))
        .then([&](const Question& prompt) {
            panelAside = !model.progress().isShown();
            return answer::type("")(prompt);
        })
        .then(answer::type("an earlier password"));
    QCoro::waitFor(model.removeLock(old.lastKnownPath));
    ASSERT_EQ(questions.seen.size(), 17U);
    EXPECT_EQ(questions.seen[13],
              "Remove the lock from Old.txt? | Old.txt turns back into normal files that "
              "anyone using this computer can open.");
    EXPECT_NE(questions.seen[16].find("This item uses a different password"), std::string::npos);
    EXPECT_TRUE(panelAside);
    EXPECT_EQ(readFile(home / "Docs/Old.txt"), "old");
    EXPECT_FALSE(fs::exists(old.lastKnownPath));
    EXPECT_EQ(opener.opened.back(), (home / "Docs").string());
    EXPECT_EQ(model.items().rows().size(), 1U);
    EXPECT_TRUE(questions.unexpected.empty());
    EXPECT_EQ(questions.left(), 0U);
    QDesktopServices::unsetUrlHandler("file");
}

TEST_F(AppModelTest, TheOpenPanelLocksFilesAndFoldersTogetherAndFindsAMovedItem) {
    PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 1, {}, {}});
    fs::create_directories(home / "Docs/Folder");
    writeFile(home / "Docs/Folder/inside.txt", "inside");
    const fs::path accented = home / "Docs" / "Café notes.txt";
    writeFile(accented, "an accented name");
    writeFile(home / "Docs/Other.txt", "not chosen");
    AppModel model(options(true), questions);
    ASSERT_TRUE(QCoro::waitFor(model.start()));

    questions.then([&](const Question& panel) {
        EXPECT_EQ(panel.title, "Choose files or folders to lock.");
        EXPECT_EQ(panel.choice, ItemChoice::filesAndFolders);
        return answer::pick({home / "Docs/Folder", accented})(panel);
    });
    model.chooseAndLock();
    ASSERT_TRUE(settle([&] {
        return model.items().rows().size() == 2 && model.activity().isIdle();
    })) << (questions.unexpected.empty() ? "" : questions.unexpected.front());
    EXPECT_TRUE(fs::exists(home / "Docs/Folder.tessvault"));
    EXPECT_TRUE(fs::exists(home / "Docs" / "Café notes.tessvault"));
    EXPECT_FALSE(fs::exists(accented));
    EXPECT_EQ(readFile(home / "Docs/Other.txt"), "not chosen");

    // A copy elsewhere, the original gone: the row is missing until it is found there.
    fs::create_directories(temp / "Backup");
    fs::copy(home / "Docs/Folder.tessvault", temp / "Backup/Folder.tessvault",
             fs::copy_options::recursive);
    fs::remove_all(home / "Docs/Folder.tessvault");
    QCoro::waitFor(model.refresh());
    const auto found = std::find_if(model.items().rows().begin(), model.items().rows().end(),
                                    [](const ItemRow& row) { return row.name == "Folder"; });
    ASSERT_NE(found, model.items().rows().end());
    const ItemRow missing = *found;  // the list is replaced at each refresh
    ASSERT_EQ(missing.url, std::nullopt);
    // Another entry's locked item is refused, and the row stays missing.
    questions.then(answer::pick({home / "Docs" / "Café notes.tessvault"}))
        .then(answer::press("OK"));
    QCoro::waitFor(model.askWhereAndRelocate(missing));
    EXPECT_EQ(questions.seen.back().rfind("Café notes.tessvault is not Folder | ", 0), 0U)
        << questions.seen.back();
    questions.then([&](const Question& panel) {
        EXPECT_EQ(panel.title, "Find Folder");
        EXPECT_EQ(panel.choice, ItemChoice::lockedItem);
        return answer::pick({temp / "Backup/Folder.tessvault"})(panel);
    });
    QCoro::waitFor(model.askWhereAndRelocate(missing));
    EXPECT_TRUE(std::any_of(
        model.items().rows().begin(), model.items().rows().end(),
        [&](const ItemRow& row) { return row.url == temp / "Backup/Folder.tessvault"; }));
    EXPECT_TRUE(questions.unexpected.empty());
}

// A lock asked for by an unidentified sender waits for its question without holding up anyone
// else's request, and a sender repeating itself is heard once.
TEST_F(AppModelTest, AQuestionHoldsUpNoOtherRequestAndRepeatsAreHeardOnce) {
    writeFile(home / "Docs/Notes.txt", "notes");
    Application app(options(true));
    ASSERT_TRUE(app.takeRecords());
    ASSERT_TRUE(QCoro::waitFor(app.start()));
    std::vector<TesselaCommand> started;
    QObject::connect(&app.model(), &AppModel::commandStarted,
                     [&](const TesselaCommand& command) { started.push_back(command); });
    const TesselaCommand lock = TesselaCommand::lock({home / "Docs/Notes.txt"});
    const TesselaCommand lockNow = TesselaCommand::lockNow({home / "Docs/Taxes.tessvault"});
    app.take({lock.url()}, std::nullopt);
    app.take({lock.url()}, std::nullopt);
    for (int repeat = 0; repeat < 50; ++repeat) {
        app.take({lockNow.url()}, SenderCheck::finderIdentifier);
    }
    const auto questionsUp = [] {
        std::vector<QMessageBox*> up;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(window); box && box->isVisible()) {
                up.push_back(box);
            }
        }
        return up;
    };
    EXPECT_TRUE(settle([&] { return !started.empty() && questionsUp().size() == 1; }));
    EXPECT_EQ(started, std::vector<TesselaCommand>{lockNow});
    ASSERT_EQ(questionsUp().size(), 1U);
    EXPECT_EQ(questionsUp()[0]->text().toStdString(), lock.confirmationQuestion());
    questionsUp()[0]->reject();
    EXPECT_TRUE(settle([&] { return questionsUp().empty(); }));
    EXPECT_EQ(started, std::vector<TesselaCommand>{lockNow});
    EXPECT_TRUE(fs::exists(home / "Docs/Notes.txt"));
}

// Cancel pressed in the panel while a kept password that does not open the item is tried: the
// removal stops there, even though the next kept password would open it.
TEST_F(AppModelTest, CancelDuringAWrongKeptPasswordStopsTheRemoval) {
    writeFile(home / "Docs/Old.txt", "old");
    // Locked with records elsewhere, so the start's password move leaves it on the earlier one.
    const LockedItem old = Locker(temp / "elsewhere", home, std::nullopt, tool)
                               .lock(home / "Docs/Old.txt", "an earlier password", 0);
    PasswordStore(AppPaths::defaultKeychainService)
        .save(StoredSecret{password, 2, std::nullopt, {"an earlier password"}});
    Opener opener;
    QDesktopServices::setUrlHandler("file", &opener, "open");
    AppModel model(options(true), questions);
    model.setTouchIDEnabled(false);
    ASSERT_TRUE(QCoro::waitFor(model.start()));

    bool pressed = false;
    QObject::connect(&model.progress().state(), &ProgressState::changed, [&] {
        if (!pressed && model.progress().state().canCancel()) {
            pressed = true;
            model.progress().state().cancel();  // while the first kept password is tried
        }
    });
    questions.then(answer::press("Remove Lock")).then(answer::type(password));
    QCoro::waitFor(model.removeLock(old.lastKnownPath));
    EXPECT_TRUE(pressed);
    EXPECT_TRUE(fs::exists(old.lastKnownPath)) << "the lock was removed after Cancel";
    EXPECT_FALSE(fs::exists(home / "Docs/Old.txt"));
    QDesktopServices::unsetUrlHandler("file");
}

// The command line hands its work to the running application and exits with the outcome; the
// questions it brings are answered on the desktop.
TEST_F(AppModelTest, TheCommandLineHandsItsWorkToTheRunningApplication) {
    const LockedItem taxes = lockBefore("Taxes.txt", 1);
    PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 1, {}, {}});
    writeFile(home / "Docs/Notes.txt", "notes");
    Opener opener;
    QDesktopServices::setUrlHandler("file", &opener, "open");
    fs::create_directories(temp / "run");
    fs::permissions(temp / "run", fs::perms::owner_all);
    Application app(options(true));
    app.model().setTouchIDEnabled(false);
    ASSERT_TRUE(app.takeRecords());
    // This test's program is not Tessela's: the command line counts as the test driver here,
    // which is trusted under the test override.
    ::setenv("TESSELA_SUPPORT_DIR", (temp / "support").c_str(), 1);
    app.listen(temp / "run/tessela/command.sock",
               SenderCheck::Programs::installed(fs::path(TESSELA_PROGRAM)));
    ASSERT_TRUE(QCoro::waitFor(app.start()));

    // Runs the command line while this thread serves the application, answering what it asks
    // with `answer` (given the question's window).
    const auto tessela = [&](std::vector<std::string> arguments,
                             const std::function<void(QWidget&)>& answer = {}) {
        std::vector<std::string> words = {"TESSELA_SUPPORT_DIR=" + (temp / "support").string(),
                                          "XDG_RUNTIME_DIR=" + (temp / "run").string(),
                                          "HOME=" + home.string(), TESSELA_PROGRAM};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::optional<ProcessResult> result;
        std::thread running(
            [&] { result = ProcessRunner::run("/usr/bin/env", words, std::string(), 120.0); });
        bool answered = !answer;
        settle([&] {
            if (!answered) {
                for (QWidget* window : QApplication::topLevelWidgets()) {
                    if (window->isVisible() && qobject_cast<QDialog*>(window) != nullptr) {
                        answered = true;
                        answer(*window);
                        break;
                    }
                }
            }
            return result.has_value();
        });
        running.join();
        EXPECT_TRUE(answered) << "nothing was asked";
        return *result;
    };
    const std::string locked = taxes.lastKnownPath;

    ProcessResult result = tessela({"unlock", locked}, [&](QWidget& prompt) {
        prompt.findChild<QLineEdit*>()->setText(QString::fromStdString(password));
        qobject_cast<QDialog*>(&prompt)->accept();
    });
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output,
              "Tessela is running: it unlocks Taxes; its progress shows on the desktop.\n");
    EXPECT_EQ(app.model().items().openItems().size(), 1U);

    result = tessela({"status"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("open at"), std::string::npos) << result.output;

    result = tessela({"relock", locked});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(app.model().items().openItems().empty());
    result = tessela({"lock", (home / "Docs/Notes.txt").string()});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(fs::exists(home / "Docs/Notes.tessvault"));

    // Two command lines at once: each is served, the second after the first.
    writeFile(home / "Docs/A.txt", "a");
    writeFile(home / "Docs/B.txt", "b");
    std::optional<ProcessResult> other;
    std::thread second([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        other = ProcessRunner::run(
            "/usr/bin/env",
            {"TESSELA_SUPPORT_DIR=" + (temp / "support").string(),
             "XDG_RUNTIME_DIR=" + (temp / "run").string(), "HOME=" + home.string(), TESSELA_PROGRAM,
             "lock", (home / "Docs/B.txt").string()},
            std::string(), 120.0);
    });
    result = tessela({"lock", (home / "Docs/A.txt").string()});
    settle([&] { return other.has_value(); });
    second.join();
    EXPECT_EQ(result.status, 0) << result.output;
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 0) << other->output;
    EXPECT_FALSE(fs::exists(home / "Docs/A.txt"));
    EXPECT_FALSE(fs::exists(home / "Docs/B.txt"));

    // Cancelled on the desktop, and refused: status 1 with the sentence.
    result = tessela({"remove-lock", locked},
                     [](QWidget& question) { qobject_cast<QDialog*>(&question)->reject(); });
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("Cancelled on the desktop. Nothing was changed."),
              std::string::npos)
        << result.output;
    EXPECT_TRUE(fs::exists(locked));
    result = tessela({"unlock", (home / "Docs/Other.txt").string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find(TesselaError::notLocked().errorDescription()), std::string::npos)
        << result.output;
    result = tessela({"lock", "--password-stdin", (home / "Docs/Other").string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("cannot be handed to it"), std::string::npos);

    // Ctrl-C while the desktop asks: the command line ends at once; the question stays.
    std::vector<std::string> words = {"TESSELA_SUPPORT_DIR=" + (temp / "support").string(),
                                      "XDG_RUNTIME_DIR=" + (temp / "run").string(),
                                      "HOME=" + home.string(),
                                      TESSELA_PROGRAM,
                                      "unlock",
                                      locked};
    testing::ChildProcess waiting("/usr/bin/env", words);
    QDialog* asked = nullptr;
    EXPECT_TRUE(settle([&] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (window->isVisible() && qobject_cast<QDialog*>(window) != nullptr) {
                asked = qobject_cast<QDialog*>(window);
            }
        }
        return asked != nullptr;
    }));
    ASSERT_EQ(::kill(waiting.pid(), SIGINT), 0);
    EXPECT_EQ(waiting.readAll(),
              "Tessela is running: it unlocks Taxes; its progress shows on the desktop.\n"
              "Interrupted: Tessela goes on with it on the desktop.\n");
    EXPECT_EQ(WEXITSTATUS(waiting.wait()), 130);
    if (asked != nullptr) {
        asked->reject();
    }
    QDesktopServices::unsetUrlHandler("file");
    ::unsetenv("TESSELA_SUPPORT_DIR");
}

// Quitting locks what is open; an item whose files stay in use keeps the application running
// unless the user chooses "Quit Anyway"; with work running it asks first, and Cancel there
// changes nothing.
TEST_F(AppModelTest, QuittingLocksEverythingOrAsksWhatToDo) {
    const LockedItem taxes = lockBefore("Taxes.txt", 1);
    PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 1, {}, {}});
    AppModel model(options(true), questions);
    ASSERT_TRUE(QCoro::waitFor(model.start()));
    EXPECT_TRUE(QCoro::waitFor(model.quit(true)));  // nothing open, nothing running: no question
    EXPECT_TRUE(questions.seen.empty());
    model.activity().cancelQuitting();

    // Opened a moment ago, before the list shows it (as while an unlock reads the list again
    // after its work): quitting still locks it.
    (void)model.locker().unlock(taxes.lastKnownPath, password);
    EXPECT_TRUE(model.items().openItems().empty());
    EXPECT_TRUE(QCoro::waitFor(model.quit(false)));
    EXPECT_TRUE(model.locker().openItems().empty());
    model.activity().cancelQuitting();

    const OpenItem open = model.locker().unlock(taxes.lastKnownPath, password);
    QCoro::waitFor(model.refresh());
    {
        std::ifstream held(open.contentURL());
        questions.then(answer::press("Cancel")).then(answer::press("Cancel"));
        EXPECT_FALSE(QCoro::waitFor(model.quit(false)));
        EXPECT_FALSE(model.activity().isQuitting());
        EXPECT_EQ(model.items().openItems().size(), 1U);
        questions.then(answer::press("Cancel")).then(answer::press("Quit Anyway"));
        EXPECT_TRUE(QCoro::waitFor(model.quit(false)));
        ASSERT_EQ(questions.seen.size(), 4U);
        EXPECT_EQ(questions.seen[1],
                  "Some items are still unlocked | They stay unlocked until you lock them or "
                  "restart your computer.");
    }
    model.activity().cancelQuitting();

    // Work running: asked first; "Cancel" leaves the application as it was.
    writeFile(home / "Docs/Big.bin", std::string(16 << 20, 'b'));
    auto locking = model.lock({home / "Docs/Big.bin"});
    ASSERT_TRUE(settle([&] { return !model.activity().isIdle(); }));
    questions.then(answer::press("Cancel"));
    EXPECT_FALSE(QCoro::waitFor(model.quit(true)));
    EXPECT_EQ(questions.seen.back(),
              "Tessela is still locking Big.bin. Quit when it finishes? | Tessela quits as soon "
              "as it is done.");
    EXPECT_FALSE(model.activity().isQuitting());
    // "Quit When Finished": the lock ends, then the open item is locked, then it may end.
    questions.then(answer::press("Quit When Finished"));
    EXPECT_TRUE(QCoro::waitFor(model.quit(true)));
    QCoro::waitFor(std::move(locking));
    EXPECT_FALSE(fs::exists(home / "Docs/Big.bin"));  // locked
    EXPECT_TRUE(model.items().openItems().empty());
    EXPECT_TRUE(questions.unexpected.empty());
}

// While an item is open logind waits at shutdown for Tessela, which locks it, lets logind go
// on and ends.
TEST_F(AppModelTest, AtShutdownOpenItemsAreLockedBeforeLogindGoesOn) {
    const LockedItem taxes = lockBefore("Taxes.txt", 1);
    std::unique_ptr<testing::ChildProcess> systemBus;
    fs::create_directories(temp / "system-bus");
    const std::string address = testing::startPrivateBus(temp / "system-bus", systemBus);
    const auto logind =
        testing::startDBusMock(address, true, {"--template", "logind"}, "org.freedesktop.login1");
    const auto logindCall = [&](const std::string& method, std::vector<std::string> arguments) {
        return testing::callOnBus(address, "org.freedesktop.login1", "/org/freedesktop/login1",
                                  method, arguments);
    };
    const auto inhibiting = [&] {
        return logindCall("org.freedesktop.login1.Manager.ListInhibitors", {})
                   .find("'shutdown', 'Tessela'") != std::string::npos;
    };
    AppModel::Options withLogind = options(true);
    withLogind.logindBus = address;
    Application app(withLogind);
    ASSERT_TRUE(app.takeRecords());
    ASSERT_TRUE(QCoro::waitFor(app.start()));
    std::optional<int> ended;
    QObject::connect(&app, &Application::ended, [&](int code) { ended = code; });
    EXPECT_FALSE(inhibiting());

    (void)app.model().locker().unlock(taxes.lastKnownPath, password);
    QCoro::waitFor(app.model().refresh());
    EXPECT_TRUE(settle(inhibiting));
    (void)logindCall("org.freedesktop.DBus.Mock.EmitSignal",
                     {"org.freedesktop.login1.Manager", "PrepareForShutdown", "b", "[<true>]"});
    EXPECT_TRUE(settle([&] { return ended.has_value(); }));
    EXPECT_EQ(ended, 0);
    EXPECT_TRUE(app.model().items().openItems().empty());
    EXPECT_TRUE(settle([&] { return !inhibiting(); }));
}

// A termination signal while logind says the session is ending (a logout) locks without
// asking, even where files are in use: nobody is there to answer.
TEST_F(AppModelTest, ASignalAtLogoutLocksWithoutAsking) {
    const LockedItem taxes = lockBefore("Taxes.txt", 1);
    std::unique_ptr<testing::ChildProcess> systemBus;
    fs::create_directories(temp / "system-bus");
    const std::string address = testing::startPrivateBus(temp / "system-bus", systemBus);
    const auto logind =
        testing::startDBusMock(address, true, {"--template", "logind"}, "org.freedesktop.login1");
    (void)testing::callOnBus(address, "org.freedesktop.login1", "/org/freedesktop/login1",
                             "org.freedesktop.DBus.Mock.AddSession",
                             {"c1", "seat0", std::to_string(::getuid()), "user", "true"});
    AppModel::Options withLogind = options(true);
    withLogind.logindBus = address;
    withLogind.autoLockBuses = {std::nullopt, address, "c1"};
    Application app(withLogind);
    ASSERT_TRUE(app.takeRecords());
    ASSERT_TRUE(QCoro::waitFor(app.start()));
    ASSERT_TRUE(settle([&] { return app.model().autoLock().available().sessionSwitch; }));
    std::optional<int> ended;
    QObject::connect(&app, &Application::ended, [&](int code) { ended = code; });
    app.quitOnSignals();

    const OpenItem open = app.model().locker().unlock(taxes.lastKnownPath, password);
    QCoro::waitFor(app.model().refresh());
    std::ifstream held(open.contentURL());
    (void)testing::callOnBus(address, "org.freedesktop.login1", "/org/freedesktop/login1/session/c1",
                             "org.freedesktop.DBus.Mock.UpdateProperties",
                             {"org.freedesktop.login1.Session", "{'State': <'closing'>}"});
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_TRUE(settle([&] { return ended.has_value(); }));
    EXPECT_TRUE(app.model().locker().openItems().empty());
    ::signal(SIGTERM, SIG_DFL);
}

// The desktop session's end locks open items without asking: the session manager's request to
// save, a quit the window system asks for (which ends only through the locking end), and an
// event loop ended some other way.
TEST_F(AppModelTest, TheSessionsEndLocksOpenItemsWithoutAsking) {
    const LockedItem taxes = lockBefore("Taxes.txt", 1);
    Application app(options(true));
    ASSERT_TRUE(app.takeRecords());
    ASSERT_TRUE(QCoro::waitFor(app.start()));
    app.followSession();
    std::optional<int> ended;
    QObject::connect(&app, &Application::ended, [&](int code) {
        ended = code;
        QApplication::exit(code);
    });
    const auto openTaxes = [&] {
        const OpenItem open = app.model().locker().unlock(taxes.lastKnownPath, password);
        QCoro::waitFor(app.model().refresh());
        EXPECT_EQ(app.model().items().openItems().size(), 1U);
        return open;
    };

    OpenItem open = openTaxes();
    {
        // A file in use is no reason to stay open at logout.
        std::ifstream held(open.contentURL());
        app.lockForSessionEnd();
    }
    EXPECT_TRUE(app.model().items().openItems().empty());
    EXPECT_FALSE(fs::exists(open.contentURL()));

    open = openTaxes();
    QTimer::singleShot(0, [] { QApplication::exit(3); });
    EXPECT_EQ(QApplication::exec(), 3);
    EXPECT_TRUE(app.model().items().openItems().empty());
    EXPECT_FALSE(ended.has_value());

    open = openTaxes();
    QTimer::singleShot(0, [] { QCoreApplication::quit(); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(ended, 0);
    EXPECT_TRUE(app.model().items().openItems().empty());
    EXPECT_FALSE(fs::exists(open.contentURL()));
}

// What the user chose to leave open when quitting stays open as the event loop ends.
TEST_F(AppModelTest, QuitAnywayLeavesTheItemOpenToTheEnd) {
    const LockedItem taxes = lockBefore("Taxes.txt", 1);
    QApplication::setQuitOnLastWindowClosed(false);  // as the application runs
    Application app(options(true));
    ASSERT_TRUE(app.takeRecords());
    ASSERT_TRUE(QCoro::waitFor(app.start()));
    app.followSession();
    QObject::connect(&app, &Application::ended, [](int code) { QApplication::exit(code); });
    const OpenItem open = app.model().locker().unlock(taxes.lastKnownPath, password);
    QCoro::waitFor(app.model().refresh());
    std::ifstream held(open.contentURL());
    // "Cancel" where its files are in use, then "Quit Anyway".
    std::vector<QString> presses = {QStringLiteral("Cancel"), QStringLiteral("Quit Anyway")};
    QTimer answering;
    QObject::connect(&answering, &QTimer::timeout, [&] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (!window->isVisible() || qobject_cast<QDialog*>(window) == nullptr ||
                presses.empty()) {
                continue;
            }
            for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
                if (button->text().remove(QLatin1Char('&')) == presses.front()) {
                    presses.erase(presses.begin());
                    button->click();
                    return;
                }
            }
        }
    });
    answering.start(50);
    QTimer::singleShot(0, &app, [&] { QCoro::connect(app.quit(false), &app, [](bool) {}); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(presses.empty());
    EXPECT_EQ(app.model().locker().openItems().size(), 1U);
    EXPECT_EQ(readFile(open.contentURL()), "content of Taxes.txt");
}

// Changing the password: each refusal changes nothing; an item that cannot move yet keeps the
// previous password in the keyring until a later start moves it, after which the old password
// opens nothing; a keyring that will not keep the new secret leaves the old one and every item.
TEST_F(AppModelTest, ChangingThePasswordMovesEveryItemOrFinishesLater) {
    const LockedItem taxes = lockBefore("Taxes.txt", 1);
    const LockedItem notes = lockBefore("Notes.txt", 1);
    const PasswordStore store(AppPaths::defaultKeychainService);
    store.save(StoredSecret{password, 1, {}, {}});
    const std::string next = "a new password";
    {
        AppModel model(options(true), questions);
        ASSERT_TRUE(QCoro::waitFor(model.start()));
        const auto change = [&](const std::string& current, const std::string& wanted) {
            return QCoro::waitFor(model.changePassword(current, wanted));
        };
        EXPECT_EQ(change("wrong password", next), "Your current password is not correct.");
        EXPECT_EQ(change(password, "short"), "Use at least 8 characters.");
        const OpenItem open = model.locker().unlock(taxes.lastKnownPath, password);
        QCoro::waitFor(model.refresh());
        EXPECT_EQ(change(password, next), "Lock every unlocked item first.");
        model.locker().relock(open, false);
        QCoro::waitFor(model.refresh());
        auto first = model.changePassword("wrong password", next);
        EXPECT_EQ(change(password, next),
                  "Wait until Tessela finishes updating your password, then try again.");
        EXPECT_EQ(QCoro::waitFor(std::move(first)), "Your current password is not correct.");
        EXPECT_EQ(store.load(), (StoredSecret{password, 1, {}, {}}));

        // One item cannot take its new key: the new password is kept, and so is the previous one.
        fs::permissions(notes.lastKnownPath, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(change(password, next),
                  "1 item could not be updated yet. Tessela will try again next time it opens.");
        EXPECT_EQ(store.load()->password, next);
        EXPECT_EQ(store.load()->previous, password);
        fs::permissions(notes.lastKnownPath, fs::perms::owner_all);
    }
    {
        AppModel model(options(true), questions);
        ASSERT_TRUE(QCoro::waitFor(model.start()));
        EXPECT_EQ(store.load()->previous, std::nullopt);
        for (const LockedItem& item : {taxes, notes}) {
            EXPECT_THROW((void)model.locker().unlock(item.lastKnownPath, password), TesselaError);
            model.locker().relock(model.locker().unlock(item.lastKnownPath, next), false);
        }

        // The keyring keeps the secret where it can be read but will not take a new one.
        const std::string kept = store.load()->compactJson();
        testing::clearRawKeyringItems(AppPaths::defaultKeychainService);
        ASSERT_TRUE(testing::storeRawKeyringItem(AppPaths::defaultKeychainService, kept, true));
        session->lockDefaultCollection();
        EXPECT_EQ(QCoro::waitFor(model.changePassword(next, "a third password")),
                  "Could not save the new password to your keyring.");
        EXPECT_EQ(store.load()->compactJson(), kept);
        model.locker().relock(model.locker().unlock(taxes.lastKnownPath, next), false);
    }
    EXPECT_TRUE(questions.unexpected.empty());
}

TEST(WorkerTest, RunsInOrderOnOneThreadOfItsOwnAndRethrows) {
    const testing::OffscreenApplication application;
    Worker worker;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    const auto job = [&](int index) {
        return worker.run([&, index] {
            // The first job takes longest: a worker that ran them side by side would finish
            // them out of order.
            std::this_thread::sleep_for(std::chrono::milliseconds(index == 0 ? 200 : 10));
            order.push_back(index);
            threads.push_back(std::this_thread::get_id());
            return index;
        });
    };
    // Three callers at once, as commands from several places would be.
    const auto together = [&]() -> QCoro::Task<std::vector<int>> {
        auto first = job(0);
        auto second = job(1);
        auto third = job(2);
        std::vector<int> results;
        results.push_back(co_await std::move(third));
        results.push_back(co_await std::move(first));
        results.push_back(co_await std::move(second));
        co_return results;
    };
    EXPECT_EQ(QCoro::waitFor(together()), (std::vector<int>{2, 0, 1}));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(threads[0], threads[2]);
    EXPECT_NE(threads[0], std::this_thread::get_id());

    // An engine error comes back to the awaiting caller as itself.
    const auto failing = [&]() -> QCoro::Task<std::string> {
        try {
            co_await worker.run([]() -> int { throw TesselaError::notFound(); });
        } catch (const TesselaError& error) {
            co_return error.errorDescription();
        }
        co_return "no error came back";
    };
    EXPECT_EQ(QCoro::waitFor(failing()), "That item could not be found.");
}

}  // namespace
}  // namespace tessela

#include "app_model_test.moc"
