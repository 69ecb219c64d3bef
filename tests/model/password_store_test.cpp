// The stored secret in a real gnome-keyring on a private D-Bus session.
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <memory>
#include <optional>

#include "model/password_change.h"
#include "model/password_store.h"
#include "process/process_runner.h"
#include "support/keyring_session.h"
#include "support/raw_keyring_item.h"
#include "support/temp_folder.h"

namespace tessela {
namespace {

// The keyring's items under `service`, whatever their schema, asked of the Secret Service itself.
int itemsFor(const std::string& service) {
    const ProcessResult result = ProcessRunner::run(
        "/usr/bin/dbus-send",
        {"--session", "--print-reply", "--dest=org.freedesktop.secrets", "/org/freedesktop/secrets",
         "org.freedesktop.Secret.Service.SearchItems", "dict:string:string:service," + service},
        std::nullopt, 10.0);
    int count = 0;
    for (std::size_t at = result.output.find("object path"); at != std::string::npos;
         at = result.output.find("object path", at + 1)) {
        ++count;
    }
    return count;
}

// One keyring for the whole test program (libsecret and GLib keep their connection to the
// session bus for the life of the process); each test works under a service name of its own.
class KeyringEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { session = std::make_unique<testing::KeyringSession>(); }
    void TearDown() override { session.reset(); }
    static inline std::unique_ptr<testing::KeyringSession> session;
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new KeyringEnvironment);

std::string serviceOfThisTest() {
    return std::string("com.lanternworks.tessela.test.") +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

TEST(PasswordStoreTest, SavedSecretComesBackExactlyAndStaysOneItem) {
    const PasswordStore store(serviceOfThisTest());
    EXPECT_EQ(store.load(), std::nullopt);
    StoredSecret secret{"pässword \x01\t\"\\ ✓", 1, std::nullopt, {}};
    store.save(secret);
    EXPECT_EQ(store.load(), secret);
    secret = secret.changing("second");
    store.save(secret);
    EXPECT_EQ(store.load(), secret);
    EXPECT_EQ(itemsFor(serviceOfThisTest()), 1);
    EXPECT_EQ(PasswordStore(serviceOfThisTest() + ".other").load(), std::nullopt);
}

// A first password is kept only while none is: a setup that checked before another one kept its
// own is refused when it comes to keep its password, and the kept one stays as it was.
TEST(PasswordStoreTest, AFirstPasswordIsKeptOnlyWhileNoneIs) {
    const testing::TempFolder temp;
    const PasswordStore store(serviceOfThisTest());
    Locker locker(temp.path() / "support", temp.path(), std::nullopt, DiskImageTool());
    PasswordChange setup(locker, store);
    EXPECT_EQ(setup.setUp(temp.path() / "support", "first password").message, std::nullopt);
    EXPECT_EQ(store.load(), (StoredSecret{"first password", 1, std::nullopt, {}}));
    EXPECT_EQ(setup.setUp(temp.path() / "support", "second password").message,
              "A Tessela password is kept in your keyring already. To change it, use tessela "
              "change-password.");
    EXPECT_EQ(store.load()->password, "first password");
}

TEST(PasswordStoreTest, DataThatIsNoStoredSecretLoadsAsNone) {
    const PasswordStore store(serviceOfThisTest());
    store.save({"first", 1, std::nullopt, {}});
    // The same item's data replaced by a plain password, as another program might leave it.
    ASSERT_TRUE(testing::storeRawKeyringItem(serviceOfThisTest(), "hunter2"));
    EXPECT_EQ(store.load(), std::nullopt);
}

TEST(PasswordStoreTest, NoSecretServiceOnTheBusLoadsAsNoneAndRefusesToSave) {
    // A process of its own on a second bus, where nothing provides the Secret Service.
    const testing::TempFolder folder;
    std::unique_ptr<testing::ChildProcess> bus;
    const std::string address = testing::startPrivateBus(folder.path(), bus);
    const ProcessResult result = ProcessRunner::run(
        "/usr/bin/env",
        {"DBUS_SESSION_BUS_ADDRESS=" + address, PASSWORD_STORE_PROBE, serviceOfThisTest()},
        std::nullopt, 30.0);
    EXPECT_EQ(result.output, "none\nnot saved\n");
}

// Last: it leaves the keyring locked.
TEST(PasswordStoreTest, LockedKeyringWithoutAPrompterFailsCleanly) {
    const PasswordStore store(serviceOfThisTest());
    store.save({"first", 1, std::nullopt, {}});
    KeyringEnvironment::session->lockEverything();
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_THROW(store.save({"second", 2, "first", {"first"}}), std::runtime_error);
}

}  // namespace
}  // namespace tessela
