#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

#include <optional>
#include <string>

namespace tessela {

// The bus logind is reached on: the system bus, or the one at `address` (a test's).
[[nodiscard]] QDBusConnection logindBus(const std::optional<std::string>& address);

// A logind "delay" inhibitor of one kind ("shutdown", "sleep"): while it is held, logind
// announces that moment and then waits for Tessela, up to its own limit (InhibitDelayMaxSec),
// before going on. Letting go closes the descriptor logind handed out, which tells it to go on.
// Without logind nothing is held. Main thread only.
class DelayInhibitor : public QObject {
    Q_OBJECT

  public:
    DelayInhibitor(QDBusConnection bus, QString what, QString why, QObject* parent = nullptr);

    // Takes the inhibitor or lets it go; logind is asked again only when the wish changes.
    void setHolding(bool holding);
    [[nodiscard]] bool isHolding() const noexcept { return inhibitor_.isValid(); }

  private:
    QDBusConnection bus_;
    QString what_;
    QString why_;
    bool wanted_ = false;
    QDBusUnixFileDescriptor inhibitor_;
};

}  // namespace tessela
