// First-run setup and the settings window through their real widgets, offscreen, on the real
// model with a real keyring on a private session bus (and fprintd's double where a fingerprint
// reader is wanted).
#include <gtest/gtest.h>

#include <qcoro/qcorotask.h>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>

#include <cstdlib>
#include <string>

#include "model/app_model.h"
#include "model/app_paths.h"
#include "model/autostart.h"
#include "model/password_store.h"
#include "process/process_runner.h"
#include "support/fuse_fixture.h"
#include "support/keyring_session.h"
#include "support/model_fixture.h"
#include "support/offscreen_application.h"
#include "support/scripted_questions.h"
#include "support/widgets.h"
#include "views/desktop_shell.h"
#include "views/right_click_demo.h"
#include "views/settings_view.h"
#include "views/setup_view.h"
#include "views/strength_meter.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::button;
using testing::contains;
using testing::labels;
using testing::settle;

void type(QWidget& window, const QString& field, const QString& text) {
    for (QLineEdit* found : window.findChildren<QLineEdit*>()) {
        if (found->accessibleName() == field && found->isVisibleTo(&window)) {
            EXPECT_EQ(found->echoMode(), QLineEdit::Password) << field.toStdString();
            found->setText(text);
            return;
        }
    }
    ADD_FAILURE() << "no field " << field.toStdString();
}

QCheckBox* checkBox(QWidget& window, const QString& text) {
    for (QCheckBox* found : window.findChildren<QCheckBox*>()) {
        if (found->text() == text) {
            return found;
        }
    }
    ADD_FAILURE() << "no check box " << text.toStdString();
    return nullptr;
}

// A desktop entry the desktop's own validator accepts.
bool validDesktopEntry(const fs::path& entry) {
    const ProcessResult result =
        ProcessRunner::run("/usr/bin/desktop-file-validate", {entry.string()}, {}, 30.0);
    EXPECT_EQ(result.status, 0) << result.output;
    return result.status == 0;
}

class SetupSettingsTest : public testing::ModelFixture {
  protected:
    void TearDown() override {
        fprintd.reset();
        bus.reset();
        ModelFixture::TearDown();
    }
    // A bus where fprintd's double offers a reader with an enrolled finger.
    std::string fingerprintReader() {
        fs::create_directories(temp / "fprintd");
        const std::string address = testing::startPrivateBus(temp / "fprintd", bus);
        fprintd = testing::startDBusMock(address, true, {"--template", FPRINTD_MOCK},
                                         "net.reactivated.Fprint");
        return address;
    }
    // From the welcome: the password step filled in with a good password, the box ticked.
    static void fillPasswordStep(MainWindow& window) {
        window.setup().move(1);
        type(window, "Password", "horse battery 7");
        type(window, "Confirm password", "horse battery 7");
        checkBox(window, "I understand there is no way to recover a forgotten password.")->click();
    }
    // The main button pressed until setup reaches `step`.
    static void advanceTo(SetupView& setup, SetupView::Step step) {
        while (setup.step() != step) {
            QCoro::waitFor(setup.advance());
        }
    }
    ItemsView::FinderMenu finderMenu() {
        return {[this] { return finderOn; }, [this] { finderOn = true; }};
    }
    const Autostart autostart{temp / "config", temp / "bin/tessela"};
    bool finderOn = false;
    std::unique_ptr<testing::ChildProcess> bus;
    std::unique_ptr<testing::ChildProcess> fprintd;
};

TEST_F(SetupSettingsTest, SetupRefusesWhatTheRulesRefuseKeepsNothingHalfWayAndKeepsThePasswordAtTheEnd) {
    AppModel model(options(true), questions);
    DesktopShell shell(model, [] {}, false, finderMenu(), true, autostart);
    ASSERT_TRUE(QCoro::waitFor(model.start()));
    MainWindow& window = shell.window();
    ASSERT_TRUE(window.isShowingSetup());
    SetupView& setup = window.setup();
    EXPECT_TRUE(contains(labels(window), "Lock anything on your computer"));
    EXPECT_NE(window.findChild<RightClickDemo*>(), nullptr);
    QTest::mouseClick(button(window, "Get Started"), Qt::LeftButton);

    // The password: "Continue" waits for both fields and the acknowledgement.
    ASSERT_EQ(setup.step(), SetupView::Step::password);
    QAbstractButton* next = button(window, "Continue");
    type(window, "Password", "short");
    type(window, "Confirm password", "short");
    EXPECT_FALSE(next->isEnabled());
    checkBox(window, "I understand there is no way to recover a forgotten password.")->click();
    ASSERT_TRUE(next->isEnabled());
    QTest::mouseClick(next, Qt::LeftButton);
    EXPECT_EQ(setup.error().toStdString(), "Use at least 8 characters.");
    type(window, "Password", "horse battery 7");
    QTest::mouseClick(next, Qt::LeftButton);
    EXPECT_EQ(setup.error().toStdString(), "The passwords do not match.");
    auto* meter = window.findChild<StrengthMeter*>();
    for (const auto& [sample, caption] : {std::pair("abcdefgh", "Weak"), std::pair("abcdefg1", "Fair"),
                                          std::pair("abcdeFGH1234", "Strong"), std::pair("", "")}) {
        type(window, "Password", QString::fromUtf8(sample));
        EXPECT_EQ(meter->caption().toStdString(), caption) << sample;
    }
    type(window, "Password", "horse battery 7");
    type(window, "Confirm password", "horse battery 7");
    QTest::keyClick(&setup, Qt::Key_Return);  // Return: the main button

    // No reader: straight to the file-manager menu, which turns on and says so after a moment.
    ASSERT_EQ(setup.step(), SetupView::Step::finder);
    QTest::mouseClick(button(window, "Turn On File-Manager Menu"), Qt::LeftButton);
    EXPECT_TRUE(settle([&] { return contains(labels(window), "The file-manager menu is on"); }));
    QTest::mouseClick(button(window, "Back"), Qt::LeftButton);
    EXPECT_EQ(setup.step(), SetupView::Step::password);
    QTest::keyClick(&setup, Qt::Key_Return);
    QTest::mouseClick(button(window, "Continue"), Qt::LeftButton);
    ASSERT_EQ(setup.step(), SetupView::Step::diskEncryption);
    QTest::mouseClick(button(window, "Continue"), Qt::LeftButton);
    ASSERT_EQ(setup.step(), SetupView::Step::done);
    // Nothing is kept before the very end.
    EXPECT_EQ(PasswordStore(AppPaths::defaultKeychainService).presence(),
              PasswordStore::Presence::absent);

    QTest::mouseClick(button(window, "Start Using Tessela"), Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return !window.isShowingSetup() && autostart.enabled(); }));
    const std::optional<StoredSecret> kept = PasswordStore(AppPaths::defaultKeychainService).load();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->password, "horse battery 7");
    EXPECT_EQ(kept->generation, 1);
    EXPECT_FALSE(model.touchIDEnabled());  // the toggle was on, but no reader can be used
    EXPECT_TRUE(autostart.enabled());
    EXPECT_TRUE(validDesktopEntry(autostart.entry()));
    EXPECT_TRUE(contains(labels(window), "Locked Items"));
}

TEST_F(SetupSettingsTest, AKeyringThatRefusesTheSaveKeepsSetupOpenOnThePassword) {
    session->lockDefaultCollection();
    AppModel model(options(true), questions);
    DesktopShell shell(model, [] {}, false, finderMenu(), true, autostart);
    ASSERT_TRUE(QCoro::waitFor(model.start()));
    MainWindow& window = shell.window();
    SetupView& setup = window.setup();
    fillPasswordStep(window);
    advanceTo(setup, SetupView::Step::done);
    QTest::mouseClick(button(window, "Start Using Tessela"), Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return setup.step() == SetupView::Step::password; }));
    EXPECT_TRUE(setup.error().startsWith("Could not save your password to the keyring."))
        << setup.error().toStdString();
    EXPECT_TRUE(window.isShowingSetup());
    EXPECT_FALSE(autostart.enabled());
}

TEST_F(SetupSettingsTest, WithAReaderSetupAsksAboutTheFingerprintAndRecordsTheChoice) {
    AppModel model(options(true, fingerprintReader()), questions);
    DesktopShell shell(model, [] {}, false, finderMenu(), true, autostart);
    ASSERT_TRUE(QCoro::waitFor(model.start()));
    MainWindow& window = shell.window();
    SetupView& setup = window.setup();
    fillPasswordStep(window);
    ASSERT_TRUE(settle([&] {
        return contains(labels(window), "One password protects everything you lock. You will "
                                        "mostly use your fingerprint.");
    }));
    QCoro::waitFor(setup.advance());
    ASSERT_EQ(setup.step(), SetupView::Step::fingerprint);
    EXPECT_TRUE(checkBox(window, "Use fingerprint to unlock")->isChecked());
    checkBox(window, "Use fingerprint to unlock")->click();
    checkBox(window, "Open Tessela at login, so that it can lock your items when you walk away")
        ->setChecked(false);
    advanceTo(setup, SetupView::Step::done);
    QCoro::waitFor(setup.advance());
    EXPECT_FALSE(window.isShowingSetup());
    EXPECT_FALSE(model.touchIDEnabled());
    EXPECT_FALSE(autostart.enabled());
}

// A password kept meanwhile elsewhere (a setup in a terminal) is never replaced: setup ends
// saying the typed one was not kept.
TEST_F(SetupSettingsTest, APasswordKeptMeanwhileIsNeverReplacedAndSetupSaysSo) {
    AppModel model(options(true), questions);
    DesktopShell shell(model, [] {}, false, finderMenu(), true, autostart);
    ASSERT_TRUE(QCoro::waitFor(model.start()));
    MainWindow& window = shell.window();
    SetupView& setup = window.setup();
    fillPasswordStep(window);
    advanceTo(setup, SetupView::Step::done);
    PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 1, {}, {}});
    questions.then(testing::answer::press("OK"));
    QTest::mouseClick(button(window, "Start Using Tessela"), Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return !window.isShowingSetup(); }));
    ASSERT_EQ(questions.seen.size(), 1U);
    EXPECT_EQ(questions.seen[0].substr(0, 26), "Your password was not kept");
    EXPECT_EQ(PasswordStore(AppPaths::defaultKeychainService).load()->password, password);
    // Nothing typed is left in the fields.
    for (const QLineEdit* field : window.findChildren<QLineEdit*>()) {
        EXPECT_TRUE(field->text().isEmpty());
    }
}

TEST_F(SetupSettingsTest, TheSettingsWriteTheirKeysAndThePasswordSheetSaysWhatTheModelSays) {
    testing::writeFile(home / "Docs/Taxes.txt", "taxes");
    const LockedItem taxes = Locker(temp / "support", home, std::nullopt, tool)
                                 .lock(home / "Docs/Taxes.txt", password, 1);
    PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 1, {}, {}});
    AppModel model(options(true, fingerprintReader()), questions);
    DesktopShell shell(model, [] {}, true, finderMenu(), true, autostart);
    ASSERT_TRUE(QCoro::waitFor(model.start()));
    SettingsView& settings = shell.settings();
    settings.present();
    const Settings stored(temp / "settings.json");

    // Auto-lock: "Never" is 0, and the auto-lock reads it at once.
    auto* idle = settings.findChild<QComboBox*>();
    ASSERT_EQ(idle->count(), 5);
    EXPECT_EQ(idle->itemText(0).toStdString(), "5 minutes");
    EXPECT_EQ(idle->currentText().toStdString(), "15 minutes");
    idle->setCurrentIndex(4);
    Q_EMIT idle->activated(4);
    EXPECT_EQ(stored.integer(Settings::idleMinutesKey), 0);
    EXPECT_EQ(model.autoLock().idleMinutes(), 0);

    // The fingerprint: on with a reader, and written when turned off.
    QCheckBox* fingerprint = checkBox(settings, "Unlock with Fingerprint");
    ASSERT_TRUE(settle([&] { return fingerprint->isEnabled(); }));
    EXPECT_TRUE(fingerprint->isChecked());
    fingerprint->click();
    EXPECT_EQ(stored.boolean(Settings::touchIDKey), false);

    // Opening at login: the entry written, valid, and removed.
    QCheckBox* atLogin = checkBox(settings, "Open Tessela at login");
    EXPECT_FALSE(atLogin->isChecked());
    atLogin->click();
    EXPECT_TRUE(autostart.enabled());
    EXPECT_TRUE(validDesktopEntry(autostart.entry()));
    atLogin->click();
    EXPECT_FALSE(fs::exists(autostart.entry()));
    // A program whose path holds the characters an entry's Exec quotes or escapes.
    const Autostart odd(temp / "config", temp / "odd bin/a \"b\" $c %d \\e\tf/tessela");
    odd.setEnabled(true);
    EXPECT_TRUE(validDesktopEntry(odd.entry()));
    EXPECT_NE(odd.text().find(R"(Exec="/)"), std::string::npos);
    EXPECT_NE(odd.text().find(R"(a \\"b\\" \\$c %%d \\\\e\tf/tessela")"), std::string::npos)
        << odd.text();
    odd.setEnabled(false);
    // An installed copy of the entry is what is written, with this program in it.
    testing::writeFile(temp / "share/autostart.desktop",
                       "[Desktop Entry]\nType=Application\nName=Tessela\nName[de]=Tessela\n"
                       "Exec=/usr/bin/tessela\nX-GNOME-Autostart-enabled=true\n");
    const Autostart installed(temp / "config", temp / "bin/tessela",
                              temp / "share/autostart.desktop");
    installed.setEnabled(true);
    EXPECT_TRUE(validDesktopEntry(installed.entry()));
    EXPECT_EQ(installed.text(),
              "[Desktop Entry]\nType=Application\nName=Tessela\nName[de]=Tessela\nExec=\"" +
                  (temp / "bin/tessela").string() + "\"\nX-GNOME-Autostart-enabled=true\n");
    installed.setEnabled(false);
    // Programs where others may write (here under /tmp) are not named in a login entry.
    EXPECT_FALSE(Autostart::lasting(temp / "bin"));
    EXPECT_TRUE(Autostart::lasting("/usr/bin"));
    const std::string elsewhere = Autostart::forPrograms(temp / "config", temp / "bin").text();
    EXPECT_NE(elsewhere.find("Exec=\"/usr/bin/tessela\""), std::string::npos) << elsewhere;

    // The file-manager menu: "Turn On", then "On" a moment later.
    QTest::mouseClick(button(settings, "Turn On"), Qt::LeftButton);
    EXPECT_TRUE(settle([&] { return contains(labels(settings), "On"); }));

    // The password sheet.
    QTest::mouseClick(button(settings, "Change Password…"), Qt::LeftButton);
    ChangePasswordView* const sheet = settings.passwordSheet();
    ASSERT_NE(sheet, nullptr);
    bool closed = false;  // once closed, it goes
    QObject::connect(sheet, &QDialog::finished, [&closed] { closed = true; });
    ASSERT_TRUE(sheet->isVisible());
    QAbstractButton* change = button(*sheet, "Change Password");
    EXPECT_FALSE(change->isEnabled());
    type(*sheet, "Current password", QString::fromUtf8(password));
    type(*sheet, "New password", "a new password 2");
    type(*sheet, "Confirm new password", "another one");
    EXPECT_TRUE(change->isEnabled());
    QTest::mouseClick(change, Qt::LeftButton);
    EXPECT_FALSE(sheet->isWorking());  // caught here: the model never hears of it
    EXPECT_EQ(sheet->message().toStdString(), "The new passwords do not match.");
    EXPECT_EQ(PasswordStore(AppPaths::defaultKeychainService).load()->generation, 1);

    type(*sheet, "Current password", "not it at all");
    type(*sheet, "Confirm new password", "a new password 2");
    QTest::mouseClick(change, Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return !sheet->isWorking() && !sheet->message().isEmpty(); }));
    EXPECT_EQ(sheet->message().toStdString(), "Your current password is not correct.");
    EXPECT_TRUE(change->isEnabled());

    (void)model.locker().unlock(taxes.lastKnownPath, password);
    QCoro::waitFor(model.refresh());
    type(*sheet, "Current password", QString::fromUtf8(password));
    QTest::mouseClick(change, Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return !sheet->isWorking() && !sheet->message().isEmpty(); }));
    EXPECT_EQ(sheet->message().toStdString(), "Lock every unlocked item first.");
    QCoro::waitFor(model.lockAll());

    QTest::mouseClick(change, Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return closed; }));
    const std::optional<StoredSecret> kept = PasswordStore(AppPaths::defaultKeychainService).load();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->password, "a new password 2");
    EXPECT_EQ(kept->generation, 2);
    EXPECT_TRUE(questions.unexpected.empty());
}

}  // namespace
}  // namespace tessela
