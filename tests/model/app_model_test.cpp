// The application's model on the real engine (gocryptfs), a real keyring and a notification
// service double on a private session bus, offscreen.
#include <gtest/gtest.h>

#include <qcoro/qcorotask.h>
#include <QApplication>
#include <QDesktopServices>
#include <QThread>
#include <QUrl>

#include <cstdlib>
#include <thread>

#include "model/app_model.h"
#include "model/app_paths.h"
#include "model/password_store.h"
#include "process/process_runner.h"
#include "secrets/shared_state.h"
#include "support/fuse_fixture.h"
#include "support/keyring_session.h"
#include "support/offscreen_application.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

class AppModelTest : public testing::FuseTest {
  protected:
    void SetUp() override {
        FuseTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        application = std::make_unique<testing::OffscreenApplication>();
        session = std::make_unique<testing::KeyringSession>();
        fs::create_directories(home / "Docs");
    }

    void TearDown() override {
        notifications.reset();
        session.reset();
        application.reset();
        FuseTest::TearDown();
    }

    AppModel::Options options(bool testOverride = false) const {
        return {temp / "support",       home,
                std::nullopt,           tool,
                LockerOptions(),        AppPaths::defaultKeychainService,
                temp / "settings.json", testOverride};
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

    const fs::path home = temp / "home";
    std::unique_ptr<testing::OffscreenApplication> application;
    std::unique_ptr<testing::KeyringSession> session;
    std::unique_ptr<testing::ChildProcess> notifications;
};

TEST_F(AppModelTest, StartUpRecoversNotifiesAndThenRunsQueuedCommandsInOrder) {
    startNotifications();
    EXPECT_THROW((void)lockBefore("Interrupted.txt", 1, CrashPoint::lockAfterCopy), SimulatedCrash);
    const LockedItem taxes = lockBefore("Taxes.txt", 1);

    AppModel model(options());
    std::vector<std::pair<TesselaCommand, bool>> handed;
    QObject::connect(&model, &AppModel::operationRequested, [&](const TesselaCommand& command) {
        handed.emplace_back(command, model.isReady());
    });
    const TesselaCommand first = TesselaCommand::lockNow({taxes.lastKnownPath});
    const TesselaCommand second = TesselaCommand::unlock(taxes.lastKnownPath);
    model.handle(first);
    model.handle(second);
    EXPECT_TRUE(handed.empty());  // not ready: queued

    ASSERT_TRUE(QCoro::waitFor(model.start()));
    EXPECT_EQ(handed,
              (std::vector<std::pair<TesselaCommand, bool>>{{first, true}, {second, true}}));
    EXPECT_EQ(model.rows().size(), 1U);  // the interrupted lock was undone
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
    AppModel another(options());
    EXPECT_FALSE(QCoro::waitFor(another.start()));
}

TEST_F(AppModelTest, RowsFollowTheIndexTheDiskAndThePasswordAndTheStateIsPublished) {
    const LockedItem ten = lockBefore("Item 10.txt", 1);
    const LockedItem two = lockBefore("item 2.txt", 2);
    const LockedItem one = lockBefore("Item 1.txt", 0);
    const LockedItem gone = lockBefore("Gone.txt", 1);
    fs::remove_all(gone.lastKnownPath);
    PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 2, {}, {}});

    AppModel model(options());
    ASSERT_TRUE(QCoro::waitFor(model.start()));
    const OpenItem open = model.locker().unlock(two.lastKnownPath, password);
    QCoro::waitFor(model.refresh());

    std::vector<std::string> names;
    for (const ItemRow& row : model.rows()) {
        names.push_back(row.name);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"Gone.txt", "Item 1.txt", "item 2.txt", "Item 10.txt"}));
    const ItemRow& missing = model.rows()[0];
    EXPECT_EQ(missing.url, std::nullopt);
    EXPECT_EQ(missing.size, std::nullopt);
    EXPECT_EQ(missing.location, gone.lastKnownPath);
    EXPECT_TRUE(missing.needsPasswordUpdate);
    EXPECT_FALSE(model.rows()[1].needsPasswordUpdate);  // generation 0 never shows it
    EXPECT_TRUE(model.rows()[2].isOpen);
    EXPECT_EQ(model.rows()[3].location, (home / "Docs").string());
    EXPECT_GT(*model.rows()[3].size, 0);
    EXPECT_EQ(model.displayName(ten.lastKnownPath), "Item 10.txt");
    EXPECT_EQ(model.displayName(home / "Docs/Other.tessvault"), "Other");

    // The file-manager menu's state lists the open item, by its real path.
    const auto published = SharedState::read(SharedState::defaultURL());
    ASSERT_TRUE(published);
    EXPECT_EQ(published->unlockedPaths,
              std::vector<std::string>{fs::canonical(two.lastKnownPath).string()});
    model.locker().relock(open, false);

    // Forgetting drops the row and touches nothing on disk.
    QCoro::waitFor(model.forget(model.rows()[3]));
    EXPECT_EQ(model.rows().size(), 3U);
    EXPECT_TRUE(fs::exists(ten.lastKnownPath));
}

TEST_F(AppModelTest, UnderTheTestOverrideNoStateIsPublished) {
    AppModel model(options(true));
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
    AppModel model(options(true));
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
