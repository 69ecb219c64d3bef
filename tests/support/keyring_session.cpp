#include "support/keyring_session.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "process/process_runner.h"

namespace tessela::testing {

std::unique_ptr<ChildProcess> startDBusMock(const std::string& address, bool systemBus,
                                            const std::vector<std::string>& arguments,
                                            const std::string& name) {
    std::vector<std::string> words = {
        (systemBus ? "DBUS_SYSTEM_BUS_ADDRESS=" : "DBUS_SESSION_BUS_ADDRESS=") + address,
        "/usr/bin/python3", "-m", "dbusmock"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    auto mock = std::make_unique<ChildProcess>("/usr/bin/env", words);
    waitForName(address, name, std::chrono::seconds(20));
    return mock;
}

std::string callOnBus(const std::string& address, const std::string& destination,
                      const std::string& path, const std::string& method,
                      const std::vector<std::string>& arguments) {
    std::vector<std::string> words = {"call",        "--address",     address, "--dest",
                                      destination,   "--object-path", path,    "--method",
                                      method};
    words.insert(words.end(), arguments.begin(), arguments.end());
    return ProcessRunner::run("/usr/bin/gdbus", words, std::nullopt, 30.0).output;
}

void waitForName(const std::string& address, const std::string& name, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const ProcessResult result = ProcessRunner::run(
            "/usr/bin/dbus-send",
            {"--bus=" + address, "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name},
            std::nullopt, 5.0);
        if (result.status == 0 && result.output.find("boolean true") != std::string::npos) {
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error(name + " did not come up on the private bus");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string startPrivateBus(const std::filesystem::path& folder,
                            std::unique_ptr<ChildProcess>& bus) {
    // Its own configuration, without the system's service folders: nothing is started on
    // demand, so only what the test starts answers on it.
    const std::filesystem::path config = folder / "bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus "
                             "Configuration 1.0//EN\" "
                             "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><type>session</type>"
                             "<listen>unix:dir=" +
                                 folder.string() +
                                 "</listen>"
                                 "<auth>EXTERNAL</auth>"
                                 "<policy context=\"default\"><allow send_destination=\"*\" "
                                 "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                                 "</policy></busconfig>\n";
    bus = std::make_unique<ChildProcess>(
        "/usr/bin/dbus-daemon",
        std::vector<std::string>{"--config-file=" + config.string(), "--nofork", "--nopidfile",
                                 "--print-address=1"});
    const std::string address = bus->readLine();
    if (address.empty()) {
        throw std::runtime_error("the private session bus did not start");
    }
    return address;
}

KeyringSession::KeyringSession(bool withKeyring) {
    const std::filesystem::path run = folder_ / "run";
    std::filesystem::create_directories(run);
    ::chmod(run.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);
    const std::string address = startPrivateBus(folder_.path(), bus_);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    if (!withKeyring) {
        return;
    }
    keyring_ = std::make_unique<ChildProcess>(
        "/usr/bin/gnome-keyring-daemon",
        std::vector<std::string>{"--foreground", "--unlock", "--components=secrets"});
    keyring_->write(keyringPassword);
    keyring_->closeInput();
    waitForName(address, "org.freedesktop.secrets", std::chrono::seconds(10));
}

KeyringSession::~KeyringSession() {
    // libsecret keeps its connection to the service for the process: let go of it, so the next
    // session's service is the one asked.
    secret_service_disconnect();
    keyring_.reset();
    bus_.reset();
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

void KeyringSession::lockDefaultCollection() const {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    SecretCollection* collection =
        service == nullptr ? nullptr
                           : secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                              SECRET_COLLECTION_NONE, nullptr,
                                                              &error);
    if (service != nullptr) {
        g_object_unref(service);
    }
    if (collection == nullptr) {
        const std::string message = error != nullptr ? error->message : "no default collection";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    GList* collections = g_list_append(nullptr, collection);
    (void)secret_service_lock_sync(nullptr, collections, nullptr, nullptr, &error);
    g_list_free_full(collections, g_object_unref);
    if (error != nullptr) {
        const std::string message = error->message;
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
}

void KeyringSession::lockEverything() const {
    GError* error = nullptr;
    SecretService* service =
        secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
    if (service == nullptr) {
        const std::string message = error != nullptr ? error->message : "no Secret Service";
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
    GList* collections = secret_service_get_collections(service);
    (void)secret_service_lock_sync(service, collections, nullptr, nullptr, &error);
    g_list_free_full(collections, g_object_unref);
    g_object_unref(service);
    if (error != nullptr) {
        const std::string message = error->message;
        g_clear_error(&error);
        throw std::runtime_error(message);
    }
}

}  // namespace tessela::testing
