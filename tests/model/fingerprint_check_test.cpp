// The fingerprint check against a D-Bus double of fprintd on a private bus.
#include <gtest/gtest.h>

#include <qcoro/qcorotask.h>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "model/fingerprint_check.h"
#include "model/password_store.h"
#include "model/settings.h"
#include "process/process_runner.h"
#include "support/keyring_session.h"
#include "support/offscreen_application.h"
#include "support/temp_folder.h"
#include "views/fingerprint_prompt.h"

namespace tessela {
namespace {

class FingerprintCheckTest : public ::testing::Test {
  protected:
    void SetUp() override { address = testing::startPrivateBus(temp.path(), bus); }

    // fprintd's double on the private bus, with the template's parameters (JSON).
    void startFprintd(const std::string& parameters) {
        std::filesystem::remove(temp / "calls.log");  // each double logs its own calls
        fprintd = testing::startDBusMock(address, true,
                                         {"--template", FPRINTD_MOCK, "--parameters", parameters,
                                          "-l", (temp / "calls.log").string()},
                                         "net.reactivated.Fprint");
    }

    // Which of the device's methods were called, named in the order a verification calls them.
    std::string calls() const {
        std::string called;
        for (const char* method : {"Claim", "VerifyStart", "VerifyStop", "Release"}) {
            const std::string log = testing::readFile(temp / "calls.log");
            if (log.find(method) != std::string::npos) {
                called += std::string(called.empty() ? "" : " ") + method;
            }
        }
        return called;
    }

    testing::TempFolder temp;
    std::unique_ptr<testing::ChildProcess> bus;
    std::unique_ptr<testing::ChildProcess> fprintd;
    std::string address;
};

TEST_F(FingerprintCheckTest, MatchAndNoMatchReleaseTheDevice) {
    startFprintd(R"({"result": "verify-match"})");
    const FingerprintCheck check(address);
    EXPECT_TRUE(check.usable());
    EXPECT_TRUE(check.verify());
    EXPECT_EQ(calls(), "Claim VerifyStart VerifyStop Release");

    fprintd.reset();
    startFprintd(R"({"result": "verify-no-match"})");
    EXPECT_FALSE(check.verify());
    EXPECT_EQ(calls(), "Claim VerifyStart VerifyStop Release");
}

TEST_F(FingerprintCheckTest, SilentDeviceTimesOutAndTheFallbackButtonCancels) {
    startFprintd(R"({"result": "none"})");
    EXPECT_FALSE(FingerprintCheck(address, std::chrono::milliseconds(300)).verify());
    EXPECT_EQ(calls(), "Claim VerifyStart VerifyStop Release");

    CancelToken fallback;
    std::thread pressed([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        fallback.cancel();
    });
    EXPECT_FALSE(FingerprintCheck(address).verify(&fallback));
    pressed.join();
}

TEST_F(FingerprintCheckTest, NoFprintdNoDeviceOrNoFingersIsUnusable) {
    EXPECT_FALSE(FingerprintCheck(address).usable());
    EXPECT_FALSE(FingerprintCheck(address).verify());
    startFprintd(R"({"device": false})");
    EXPECT_FALSE(FingerprintCheck(address).usable());
    fprintd.reset();
    startFprintd(R"({"fingers": []})");
    EXPECT_FALSE(FingerprintCheck(address).usable());
}

TEST_F(FingerprintCheckTest, PreferenceOffAsksNothing) {
    startFprintd(R"({"result": "verify-match"})");
    const Settings settings(temp / "settings.json");
    EXPECT_TRUE(PasswordStore::authenticateWithTouchID(settings, FingerprintCheck(address)));
    settings.setBoolean(Settings::touchIDKey, false);
    fprintd.reset();
    startFprintd(R"({"result": "verify-match"})");
    EXPECT_FALSE(PasswordStore::authenticateWithTouchID(settings, FingerprintCheck(address)));
    EXPECT_EQ(calls(), "");
}

// Tessela's prompt, through its real widgets: it shows the reason, and its button stops a
// verification that would otherwise wait for its whole limit.
TEST_F(FingerprintCheckTest, PromptShowsTheReasonAndItsButtonFallsBackToThePassword) {
    const testing::OffscreenApplication application;
    const Settings settings(temp / "settings.json");

    startFprintd(R"({"result": "verify-match"})");
    const auto matching = std::make_shared<const FingerprintCheck>(address);
    EXPECT_TRUE(
        QCoro::waitFor(FingerprintPrompt::authenticate("Unlock Taxes", settings, matching)));
    EXPECT_EQ(calls(), "Claim VerifyStart VerifyStop Release");

    fprintd.reset();
    startFprintd(R"({"result": "none"})");
    QStringList shownTexts;
    bool pressed = false;
    QTimer presser;
    QObject::connect(&presser, &QTimer::timeout, [&] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* prompt = qobject_cast<FingerprintPrompt*>(window);
            if (prompt == nullptr || !prompt->isVisible()) {
                continue;
            }
            EXPECT_TRUE(prompt->isModal());
            for (const QLabel* label : prompt->findChildren<QLabel*>()) {
                if (!label->text().isEmpty()) {
                    shownTexts << label->text();
                }
            }
            for (QPushButton* button : prompt->findChildren<QPushButton*>()) {
                if (button->text() == "Use Tessela Password") {
                    button->click();
                    pressed = true;
                    presser.stop();
                }
            }
        }
    });
    presser.start(20);
    const std::chrono::minutes limit(2);
    const auto silent = std::make_shared<const FingerprintCheck>(address, limit);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(QCoro::waitFor(FingerprintPrompt::authenticate("Unlock Taxes", settings, silent)));
    EXPECT_TRUE(pressed);
    EXPECT_LT(std::chrono::steady_clock::now() - started, limit);  // ended by the button
    EXPECT_EQ(shownTexts, QStringList({"Unlock Taxes", "Touch the fingerprint reader."}));
    EXPECT_EQ(calls(), "Claim VerifyStart VerifyStop Release");

    // Preference off: no prompt, no question to fprintd.
    settings.setBoolean(Settings::touchIDKey, false);
    fprintd.reset();
    startFprintd(R"({"result": "verify-match"})");
    EXPECT_FALSE(
        QCoro::waitFor(FingerprintPrompt::authenticate("Unlock Taxes", settings, matching)));
    EXPECT_EQ(calls(), "");
}

}  // namespace
}  // namespace tessela
