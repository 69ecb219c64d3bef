#pragma once

#include <QDBusConnection>
#include <QObject>

#include <optional>
#include <string>

#include "model/delay_inhibitor.h"

namespace tessela {

// The computer shutting down or restarting, as logind announces it (PrepareForShutdown(true) on
// the system bus). While items are open the application holds a logind delay inhibitor for
// shutdown ("Tessela locks open items before the computer shuts down"): logind then waits for
// it before going on, so the items are locked and their volumes detached before the session
// ends. Without logind nothing is held and nothing is heard; the application runs all the
// same. Main thread only.
class ShutdownWatch : public QObject {
    Q_OBJECT

  public:
    // Listens on the bus at `address`, the system bus when none.
    explicit ShutdownWatch(const std::optional<std::string>& address, QObject* parent = nullptr);

    // Takes the inhibitor (items are open) or lets it go (none is).
    void setHolding(bool holding) { inhibitor_.setHolding(holding); }
    [[nodiscard]] bool isHolding() const noexcept { return inhibitor_.isHolding(); }

  Q_SIGNALS:
    // The computer is about to shut down or restart: lock everything now, then call
    // setHolding(false) so that logind goes on.
    void shuttingDown();

  private Q_SLOTS:
    void prepareForShutdown(bool starting);

  private:
    QDBusConnection bus_;
    DelayInhibitor inhibitor_;
};

}  // namespace tessela
