#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_folder.h"

namespace tessela::testing {

// Starts a private session bus that starts nothing on demand, its socket in `folder`; returns
// its address. `bus` holds the daemon.
std::string startPrivateBus(const std::filesystem::path& folder,
                            std::unique_ptr<ChildProcess>& bus);

// Waits until `name` has an owner on the bus at `address`; throws std::runtime_error after
// `limit`.
void waitForName(const std::string& address, const std::string& name, std::chrono::seconds limit);

// python3-dbusmock run with `arguments` (a template, or a name, path and interface, and its
// options) on the bus at `address`, taken as the session bus or, with `systemBus`, as the system
// bus; returned once `name` is owned there.
std::unique_ptr<ChildProcess> startDBusMock(const std::string& address, bool systemBus,
                                            const std::vector<std::string>& arguments,
                                            const std::string& name);

// Calls `method` (interface.member) on the object `path` of `destination` on the bus at
// `address`, with `arguments` in gdbus's notation; what gdbus printed (the reply, or the error).
std::string callOnBus(const std::string& address, const std::string& destination,
                      const std::string& path, const std::string& method,
                      const std::vector<std::string>& arguments = {});

// A private D-Bus session bus, and on it (unless told otherwise) gnome-keyring's Secret Service
// with a scratch login keyring, created and unlocked, its files in a temporary folder. While it
// lives, this process's DBUS_SESSION_BUS_ADDRESS, XDG_DATA_HOME and XDG_RUNTIME_DIR point at it,
// so libsecret and every child talk to it and never to the user's own keyring. Everything is
// ended and removed when it goes away, also when a test fails.
class KeyringSession {
  public:
    static constexpr const char* keyringPassword = "scratch keyring";

    // Throws std::runtime_error when the bus or the keyring does not come up within 10 s.
    explicit KeyringSession(bool withKeyring = true);
    ~KeyringSession();
    KeyringSession(const KeyringSession&) = delete;
    KeyringSession& operator=(const KeyringSession&) = delete;

    // Locks every collection through the Secret Service, as locking the screen does.
    void lockEverything() const;
    // Locks the default collection only (where items are saved), as another program may.
    void lockDefaultCollection() const;

  private:
    TempFolder folder_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<ChildProcess> keyring_;
};

}  // namespace tessela::testing
