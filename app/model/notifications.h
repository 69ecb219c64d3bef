#pragma once

#include <QString>

namespace tessela {

// Desktop notifications through org.freedesktop.Notifications on the session bus, with the
// application's name and icon. Where no notification service answers, nothing happens: a
// notification is never worth a failure.
class Notifications {
  public:
    static constexpr const char* applicationName = "Tessela";
    static constexpr const char* iconName = "tessela";

    // Posts a notification and returns without waiting for the service's answer.
    static void post(const QString& title, const QString& body);
};

}  // namespace tessela
