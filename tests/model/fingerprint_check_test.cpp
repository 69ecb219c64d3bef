// The fingerprint check against a D-Bus double of fprintd on a private bus.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "model/fingerprint_check.h"
#include "model/password_store.h"
#include "model/settings.h"
#include "process/process_runner.h"
#include "support/keyring_session.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

class FingerprintCheckTest : public ::testing::Test {
  protected:
    void SetUp() override { address = testing::startPrivateBus(temp.path(), bus); }

    // fprintd's double on the private bus, with the template's parameters (JSON).
    void startFprintd(const std::string& parameters) {
        std::filesystem::remove(temp / "calls.log");  // each double logs its own calls
        fprintd = std::make_unique<testing::ChildProcess>(
            "/usr/bin/env",
            std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + address, "/usr/bin/python3", "-m",
                                     "dbusmock", "--template", FPRINTD_MOCK, "--parameters",
                                     parameters, "-l", (temp / "calls.log").string()});
        testing::waitForName(address, "net.reactivated.Fprint", std::chrono::seconds(20));
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

}  // namespace
}  // namespace tessela
