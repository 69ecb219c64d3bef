// Auto-lock on the real engine (gocryptfs) and a real keyring, with D-Bus doubles of logind (on a
// private system bus), GNOME's screen saver, GNOME's idle monitor and the notification service
// (on a private session bus), and timers the test drives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <qcoro/qcorotask.h>
#include <qcoro/qcorotimer.h>

#include <fstream>

#include "model/app_model.h"
#include "model/app_paths.h"
#include "model/password_store.h"
#include "process/process_runner.h"
#include "support/child_process.h"
#include "support/fuse_fixture.h"
#include "support/keyring_session.h"
#include "support/manual_ticks.h"
#include "support/offscreen_application.h"
#include "support/scripted_questions.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::callOnBus;
using testing::settle;
using testing::writeFile;
using Trigger = AutoLock::Trigger;

constexpr const char* sessionPath = "/org/freedesktop/login1/session/c1";

class AutoLockTest : public testing::FuseTest {
  protected:
    void SetUp() override {
        FuseTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        application = std::make_unique<testing::OffscreenApplication>();
        session = std::make_unique<testing::KeyringSession>();
        sessionBus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        fs::create_directories(temp / "system-bus");
        systemBus = testing::startPrivateBus(temp / "system-bus", systemBusProcess);
        logind = testing::startDBusMock(systemBus, true, {"--template", "logind"},
                                        "org.freedesktop.login1");
        (void)callOnBus(systemBus, "org.freedesktop.login1", "/org/freedesktop/login1",
                   "org.freedesktop.DBus.Mock.AddSession",
                   {"c1", "seat0", std::to_string(::getuid()), "user", "true"});
        screenSaver = testing::startDBusMock(sessionBus, false, {"--template", "gnome_screensaver"},
                                             "org.gnome.ScreenSaver");
        idleMonitor = testing::startDBusMock(
            sessionBus, false,
            {"org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
             "org.gnome.Mutter.IdleMonitor"},
            "org.gnome.Mutter.IdleMonitor");
        setIdleMilliseconds(0);
        (void)callOnBus(sessionBus, "org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
                   "org.freedesktop.DBus.Mock.AddMethod",
                   {"org.gnome.Mutter.IdleMonitor", "GetIdletime", "", "t",
                    "ret = int(open('" + (temp / "idle").string() + "').read())"});
        notifications = testing::startDBusMock(
            sessionBus, false,
            {"--template", "notification_daemon", "-l", (temp / "notify.log").string()},
            "org.freedesktop.Notifications");
        fs::create_directories(home / "Docs");
        PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 1, {}, {}});
    }

    void TearDown() override {
        model.reset();
        notifications.reset();
        idleMonitor.reset();
        screenSaver.reset();
        logind.reset();
        systemBusProcess.reset();
        session.reset();
        application.reset();
        FuseTest::TearDown();
    }

    void setIdleMilliseconds(std::uint64_t milliseconds) const {
        std::ofstream(temp / "idle") << milliseconds;
    }

    void startModel() {
        AppModel::Options options{temp / "support",
                                  home,
                                  std::nullopt,
                                  tool,
                                  LockerOptions(),
                                  AppPaths::defaultKeychainService,
                                  temp / "settings.json",
                                  true,
                                  "unix:path=" + (temp / "no-bus").string(),
                                  systemBus};
        options.autoLockBuses = {std::nullopt, systemBus, "c1"};
        options.ticks = &ticks;
        model = std::make_unique<AppModel>(std::move(options), questions);
        QObject::connect(&model->autoLock(), &AutoLock::checked, [this] { ++checks; });
        ASSERT_TRUE(QCoro::waitFor(model->start()));
        ASSERT_TRUE(settle([&] {
            const AutoLock::Triggers& found = model->autoLock().available();
            return found.screenLock && found.sleep && found.sessionSwitch && found.idle;
        }));
        EXPECT_EQ(model->autoLock().available().idle, AutoLock::IdleSource::mutter);
    }

    LockedItem lockBefore(const std::string& item) {
        writeFile(home / "Docs" / item, "content of " + item);
        Locker locker(temp / "support", home, std::nullopt, tool);
        return locker.lock(home / "Docs" / item, password, 1);
    }

    OpenItem open(const LockedItem& item) {
        const OpenItem opened = model->locker().unlock(item.lastKnownPath, password);
        QCoro::waitFor(model->refresh());
        EXPECT_EQ(model->items().openItems().size(), 1U);
        return opened;
    }

    bool allLocked() const { return model->items().openItems().empty(); }

    bool inhibitingSleep() const {
        return callOnBus(systemBus, "org.freedesktop.login1", "/org/freedesktop/login1",
                    "org.freedesktop.login1.Manager.ListInhibitors")
                   .find("'sleep', 'Tessela'") != std::string::npos;
    }

    // One 30-second tick, once its idle check has its answer: a pass it started is under way.
    void tick() {
        const int before = checks;
        ticks.advance(AutoLock::tickInterval);
        EXPECT_TRUE(settle([&] { return checks > before; }));
    }

    std::size_t notificationsPosted() const {
        std::ifstream log(temp / "notify.log");
        std::size_t count = 0;
        for (std::string line; std::getline(log, line);) {
            count += line.find("Tessela could not lock") != std::string::npos ? 1U : 0U;
        }
        return count;
    }

    const fs::path home = temp / "home";
    std::unique_ptr<testing::OffscreenApplication> application;
    std::unique_ptr<testing::KeyringSession> session;
    std::string sessionBus;
    std::string systemBus;
    std::unique_ptr<testing::ChildProcess> systemBusProcess;
    std::unique_ptr<testing::ChildProcess> logind;
    std::unique_ptr<testing::ChildProcess> screenSaver;
    std::unique_ptr<testing::ChildProcess> idleMonitor;
    std::unique_ptr<testing::ChildProcess> notifications;
    testing::ManualTicks ticks;
    int checks = 0;
    testing::ScriptedQuestions questions;
    std::unique_ptr<AppModel> model;
};

// Each way of walking away locks the open item: the screen saver's and logind's screen lock,
// the session switched away, sleep (logind waits while items are open, and again after
// waking), and inactivity past the delay, never when the delay is "never".
TEST_F(AutoLockTest, EveryWayOfWalkingAwayLocksTheOpenItems) {
    const LockedItem taxes = lockBefore("Taxes.txt");
    startModel();
    EXPECT_FALSE(inhibitingSleep());

    (void)open(taxes);
    (void)callOnBus(sessionBus, "org.gnome.ScreenSaver", "/org/gnome/ScreenSaver",
               "org.gnome.ScreenSaver.SetActive", {"true"});
    EXPECT_TRUE(settle([&] { return allLocked(); }));
    EXPECT_TRUE(model->autoLock().screenIsLocked());
    // Unlocking the screen only says so.
    (void)callOnBus(sessionBus, "org.gnome.ScreenSaver", "/org/gnome/ScreenSaver",
               "org.gnome.ScreenSaver.SetActive", {"false"});
    EXPECT_TRUE(settle([&] { return !model->autoLock().screenIsLocked(); }));

    (void)open(taxes);
    (void)callOnBus(systemBus, "org.freedesktop.login1", sessionPath, "org.freedesktop.login1.Session.Lock");
    EXPECT_TRUE(settle([&] { return allLocked(); }));
    (void)callOnBus(systemBus, "org.freedesktop.login1", sessionPath,
               "org.freedesktop.login1.Session.Unlock");
    EXPECT_TRUE(settle([&] { return !model->autoLock().screenIsLocked(); }));

    (void)open(taxes);
    (void)callOnBus(systemBus, "org.freedesktop.login1", sessionPath,
               "org.freedesktop.DBus.Mock.UpdateProperties",
               {"org.freedesktop.login1.Session", "{'Active': <false>}"});
    EXPECT_TRUE(settle([&] { return allLocked(); }));

    (void)open(taxes);
    EXPECT_TRUE(settle([&] { return inhibitingSleep(); }));
    (void)callOnBus(systemBus, "org.freedesktop.login1", "/org/freedesktop/login1",
               "org.freedesktop.DBus.Mock.EmitSignal",
               {"org.freedesktop.login1.Manager", "PrepareForSleep", "b", "[<true>]"});
    EXPECT_TRUE(settle([&] { return allLocked() && !inhibitingSleep(); }));
    (void)open(taxes);  // while asleep: nothing is held
    EXPECT_FALSE(model->autoLock().isHoldingSleep());
    (void)callOnBus(systemBus, "org.freedesktop.login1", "/org/freedesktop/login1",
               "org.freedesktop.DBus.Mock.EmitSignal",
               {"org.freedesktop.login1.Manager", "PrepareForSleep", "b", "[<false>]"});
    EXPECT_TRUE(settle([&] { return inhibitingSleep(); }));

    // Inactivity: at least the delay locks; "never" never does.
    model->setIdleMinutes(5);
    setIdleMilliseconds(299'999);
    tick();
    EXPECT_FALSE(model->isAutoLocking() || allLocked());
    model->setIdleMinutes(0);
    setIdleMilliseconds(86'400'000);
    tick();
    EXPECT_FALSE(model->isAutoLocking() || allLocked());
    model->setIdleMinutes(5);
    setIdleMilliseconds(300'000);
    tick();
    EXPECT_TRUE(settle([&] { return allLocked() && !inhibitingSleep(); }));
    EXPECT_EQ(notificationsPosted(), 0U);
    EXPECT_TRUE(questions.seen.empty());
}

// Files in use keep an item open: one notification, retries every 30 seconds while the user
// stays away (no second pass and no second notification meanwhile), the item locked once the
// file is closed; a user who comes back stops the retries without locking.
TEST_F(AutoLockTest, AnItemInUseIsNamedOnceAndRetriedWhileTheUserIsAway) {
    const LockedItem taxes = lockBefore("Taxes.txt");
    startModel();
    model->setIdleMinutes(0);
    OpenItem opened = open(taxes);
    auto held = std::make_unique<std::ifstream>(opened.contentURL());
    ASSERT_TRUE(held->is_open());
    (void)callOnBus(sessionBus, "org.gnome.ScreenSaver", "/org/gnome/ScreenSaver",
               "org.gnome.ScreenSaver.SetActive", {"true"});
    EXPECT_TRUE(settle([&] { return model->isRetryingAutoLock(); }));
    EXPECT_TRUE(settle([&] { return notificationsPosted() == 1; }));
    EXPECT_NE(testing::readFile(temp / "notify.log")
                  .find("Files are still open in another app. Close them and Tessela will lock "
                        "automatically."),
              std::string::npos);
    // Another trigger while the retries run starts nothing of its own.
    (void)callOnBus(systemBus, "org.freedesktop.login1", sessionPath, "org.freedesktop.login1.Session.Lock");
    tick();
    EXPECT_FALSE(allLocked());
    EXPECT_TRUE(model->isRetryingAutoLock());
    held.reset();
    tick();
    EXPECT_TRUE(settle([&] { return allLocked() && !model->isRetryingAutoLock(); }));
    EXPECT_EQ(notificationsPosted(), 1U);

    // Back at the computer (screen unlocked, recent input): the next tick stops the retries.
    (void)callOnBus(sessionBus, "org.gnome.ScreenSaver", "/org/gnome/ScreenSaver",
               "org.gnome.ScreenSaver.SetActive", {"false"});
    (void)callOnBus(systemBus, "org.freedesktop.login1", sessionPath,
               "org.freedesktop.login1.Session.Unlock");
    opened = open(taxes);
    held = std::make_unique<std::ifstream>(opened.contentURL());
    model->setIdleMinutes(5);
    setIdleMilliseconds(600'000);
    tick();
    EXPECT_TRUE(settle([&] { return model->isRetryingAutoLock() && notificationsPosted() == 2; }));
    setIdleMilliseconds(1'000);
    tick();
    EXPECT_TRUE(settle([&] { return !model->isRetryingAutoLock(); }));
    EXPECT_FALSE(allLocked());
    EXPECT_EQ(ticks.running(), 1U);  // the idle check alone
}

// logind waits until the pass before sleep has ended, and after a wake that came before then
// it waits again at the next sleep while items are open.
TEST_F(AutoLockTest, LogindWaitsForThePassBeforeSleepAndAgainAfterWaking) {
    bool gateOpen = false;  // the pass ends when the test lets it
    int passes = 0;
    AutoLock autoLock([] { return 0; }, [] { return true; },
                      [&](Trigger trigger) -> QCoro::Task<> {
                          if (trigger == Trigger::sleep) {
                              while (!gateOpen) {
                                  co_await QCoro::sleepFor(std::chrono::milliseconds(5));
                              }
                              gateOpen = false;
                              ++passes;
                          }
                      },
                      ticks, {std::nullopt, systemBus, "c1"});
    autoLock.start();
    autoLock.setItemsOpen(true);
    EXPECT_TRUE(settle([&] { return inhibitingSleep(); }));
    const auto sleep = [&](bool starting) {
        (void)callOnBus(systemBus, "org.freedesktop.login1", "/org/freedesktop/login1",
                   "org.freedesktop.DBus.Mock.EmitSignal",
                   {"org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                    starting ? "[<true>]" : "[<false>]"});
    };
    sleep(true);
    sleep(false);  // logind went on before the pass ended
    for (int turn = 0; turn < 50; ++turn) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(passes, 0);
    EXPECT_TRUE(inhibitingSleep());
    gateOpen = true;
    EXPECT_TRUE(settle([&] { return passes == 1; }));
    EXPECT_TRUE(inhibitingSleep());

    sleep(true);
    for (int turn = 0; turn < 50; ++turn) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_TRUE(inhibitingSleep());
    gateOpen = true;
    EXPECT_TRUE(settle([&] { return passes == 2 && !inhibitingSleep(); }));
}

// Without a screen saver, logind or an idle service the application runs and nothing fires.
TEST(AutoLockAloneTest, WithNothingToListenToNothingFires) {
    const testing::OffscreenApplication application;
    const testing::TempFolder temp;
    std::unique_ptr<testing::ChildProcess> bus;
    const std::string empty = testing::startPrivateBus(temp.path(), bus);
    testing::ManualTicks ticks;
    int fired = 0;
    AutoLock autoLock([] { return 1; }, [] { return true; },
                      [&](Trigger) -> QCoro::Task<> {
                          ++fired;
                          co_return;
                      },
                      ticks, {empty, empty, std::nullopt});
    autoLock.start();
    autoLock.setItemsOpen(true);
    for (int turn = 0; turn < 20; ++turn) {
        ticks.advance(AutoLock::tickInterval);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_EQ(autoLock.available(), AutoLock::Triggers{});
    EXPECT_FALSE(autoLock.isHoldingSleep());
    EXPECT_EQ(fired, 0);
}

}  // namespace
}  // namespace tessela
