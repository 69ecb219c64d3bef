#include "model/fingerprint_check.h"

#include <gio/gio.h>

#include <memory>

namespace tessela {

namespace {

constexpr const char* busName = "net.reactivated.Fprint";
constexpr const char* managerPath = "/net/reactivated/Fprint/Manager";
constexpr const char* managerInterface = "net.reactivated.Fprint.Manager";
constexpr const char* deviceInterface = "net.reactivated.Fprint.Device";
constexpr gint callTimeoutMs = 5000;

using Connection = std::unique_ptr<GDBusConnection, decltype(&g_object_unref)>;
using Variant = std::unique_ptr<GVariant, decltype(&g_variant_unref)>;

Connection connect(const std::optional<std::string>& address) {
    GDBusConnection* connection =
        address
            ? g_dbus_connection_new_for_address_sync(
                  address->c_str(),
                  static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                    G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                  nullptr, nullptr, nullptr)
            : g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    return {connection, &g_object_unref};
}

// One method call; none when it failed.
Variant call(GDBusConnection* connection, const char* path, const char* interface,
             const char* method, GVariant* parameters, const GVariantType* replyType) {
    return {g_dbus_connection_call_sync(connection, busName, path, interface, method, parameters,
                                        replyType, G_DBUS_CALL_FLAGS_NO_AUTO_START, callTimeoutMs,
                                        nullptr, nullptr),
            &g_variant_unref};
}

// The default device's object path; empty when there is none.
std::string defaultDevice(GDBusConnection* connection) {
    const Variant reply = call(connection, managerPath, managerInterface, "GetDefaultDevice",
                               nullptr, G_VARIANT_TYPE("(o)"));
    if (!reply) {
        return {};
    }
    const gchar* path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    return path;
}

struct Waiting {
    bool done = false;
    bool matched = false;
};

void onVerifyStatus(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                    GVariant* parameters, gpointer data) {
    auto* waiting = static_cast<Waiting*>(data);
    const gchar* result = nullptr;
    gboolean done = FALSE;
    g_variant_get(parameters, "(&sb)", &result, &done);
    if (done) {
        waiting->done = true;
        waiting->matched = g_strcmp0(result, "verify-match") == 0;
    }
}

}  // namespace

bool FingerprintCheck::usable() const noexcept {
    const Connection connection = connect(busAddress_);
    if (!connection) {
        return false;
    }
    const std::string device = defaultDevice(connection.get());
    if (device.empty()) {
        return false;
    }
    const Variant fingers =
        call(connection.get(), device.c_str(), deviceInterface, "ListEnrolledFingers",
             g_variant_new("(s)", ""), G_VARIANT_TYPE("(as)"));
    if (!fingers) {
        return false;
    }
    GVariant* list = g_variant_get_child_value(fingers.get(), 0);
    const bool any = g_variant_n_children(list) > 0;
    g_variant_unref(list);
    return any;
}

bool FingerprintCheck::verify(const CancelToken* cancel) const noexcept {
    // Signals come to the context that was this thread's own when subscribing: a private one,
    // run here until the answer, the limit or the cancellation.
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    Waiting waiting;
    {
        const Connection connection = connect(busAddress_);
        const std::string device = connection ? defaultDevice(connection.get()) : std::string();
        if (!device.empty() && call(connection.get(), device.c_str(), deviceInterface, "Claim",
                                    g_variant_new("(s)", ""), nullptr)) {
            const guint subscription = g_dbus_connection_signal_subscribe(
                connection.get(), busName, deviceInterface, "VerifyStatus", device.c_str(), nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE, &onVerifyStatus, &waiting, nullptr);
            if (call(connection.get(), device.c_str(), deviceInterface, "VerifyStart",
                     g_variant_new("(s)", "any"), nullptr)) {
                const auto deadline = std::chrono::steady_clock::now() + limit_;
                while (!waiting.done && std::chrono::steady_clock::now() < deadline &&
                       (cancel == nullptr || !cancel->isCancelled())) {
                    // Wakes at least every 50 ms to look at the clock and the token.
                    GSource* tick = g_timeout_source_new(50);
                    g_source_set_callback(
                        tick, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr,
                        nullptr);
                    g_source_attach(tick, context);
                    g_main_context_iteration(context, TRUE);
                    g_source_destroy(tick);
                    g_source_unref(tick);
                }
                (void)call(connection.get(), device.c_str(), deviceInterface, "VerifyStop", nullptr,
                           nullptr);
            }
            g_dbus_connection_signal_unsubscribe(connection.get(), subscription);
            (void)call(connection.get(), device.c_str(), deviceInterface, "Release", nullptr,
                       nullptr);
        }
    }
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return waiting.done && waiting.matched && (cancel == nullptr || !cancel->isCancelled());
}

}  // namespace tessela
