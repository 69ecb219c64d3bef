#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "model/app_model.h"
#include "model/app_paths.h"
#include "support/fuse_fixture.h"
#include "support/keyring_session.h"
#include "support/offscreen_application.h"
#include "support/scripted_questions.h"

namespace tessela::testing {

// The application's model on the real engine (gocryptfs), offscreen, with a real keyring on a
// private session bus, its questions answered from a script, and a home with a Docs folder.
class ModelFixture : public FuseTest {
  protected:
    void SetUp() override {
        FuseTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        application = std::make_unique<OffscreenApplication>();
        session = std::make_unique<KeyringSession>();
        std::filesystem::create_directories(home / "Docs");
    }

    void TearDown() override {
        session.reset();
        application.reset();
        FuseTest::TearDown();
    }

    // A bus where nobody answers.
    [[nodiscard]] std::string nowhere() const { return "unix:path=" + (temp / "no-bus").string(); }

    // The model's options on this folder: fprintd asked on `fingerprintBus` (nobody, by
    // default), logind heard on a bus where nobody answers.
    [[nodiscard]] AppModel::Options options(
        bool testOverride = false,
        const std::optional<std::string>& fingerprintBus = std::nullopt) const {
        return {temp / "support",
                home,
                std::nullopt,
                tool,
                LockerOptions(),
                AppPaths::defaultKeychainService,
                temp / "settings.json",
                testOverride,
                fingerprintBus.value_or(nowhere()),
                nowhere()};
    }

    const std::filesystem::path home = temp / "home";
    std::unique_ptr<OffscreenApplication> application;
    std::unique_ptr<KeyringSession> session;
    ScriptedQuestions questions;
};

}  // namespace tessela::testing
