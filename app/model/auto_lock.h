#pragma once

#include <qcoro/qcorotask.h>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "model/delay_inhibitor.h"
#include "model/ticks.h"

namespace tessela {

// Watches for the moments the user walks away and says when open items should be locked: the
// screen locks, the computer is about to sleep, the login session is switched away, or no
// keyboard or mouse input came for the idle delay. Main thread only; lives as long as the
// model that owns it.
//
// Where each moment comes from on Linux:
// - screen lock: ActiveChanged(true) from org.freedesktop.ScreenSaver, org.gnome.ScreenSaver,
//   org.cinnamon.ScreenSaver or org.xfce.ScreenSaver on the session bus, and logind's Lock
//   signal on this login session (loginctl lock-session). ActiveChanged(false) and Unlock only
//   clear `screenIsLocked`.
// - sleep: logind's PrepareForSleep(true). While items are open a logind delay inhibitor for
//   sleep is held, so logind waits for the pass; it is let go when the pass ends and taken
//   again after the computer wakes, while items are open.
// - session switched away: this session's Active property becoming false.
// - idle input time, every 30 seconds: GNOME's org.gnome.Mutter.IdleMonitor, else
//   org.freedesktop.ScreenSaver's GetSessionIdleTime (KDE Plasma on X11), else the X11
//   screen-saver extension, else logind's IdleHint and IdleSinceHint for this session.
// A source that is missing is skipped; with none at all the application runs and nothing here
// ever fires.
class AutoLock : public QObject {
    Q_OBJECT

  public:
    enum class Trigger { screenLocked, sleep, idle, sessionEnded };
    enum class IdleSource { mutter, screenSaver, x11, logind };

    struct Buses {
        // The session bus's address; the process's session bus when none.
        std::optional<std::string> session;
        // logind's bus; the system bus when none.
        std::optional<std::string> logind;
        // This login session's logind id (XDG_SESSION_ID); logind's "auto" (the caller's
        // session) when none.
        std::optional<std::string> sessionId;

        // The process's own: its session bus, the system bus and XDG_SESSION_ID.
        [[nodiscard]] static Buses standard();
    };

    // What this desktop offers, as found by start() (availableChanged tells when known).
    struct Triggers {
        bool screenLock = false;
        bool sleep = false;
        bool sessionSwitch = false;
        std::optional<IdleSource> idle;
        friend bool operator==(const Triggers&, const Triggers&) = default;
    };

    // Called for each moment; the sleep waits for the task to end before logind may go on.
    using OnTrigger = std::function<QCoro::Task<>(Trigger)>;

    // Nothing is watched before start(). `idleMinutes` is read at each tick, so a change of
    // the setting counts from the next one.
    AutoLock(std::function<int()> idleMinutes, std::function<bool()> hasUnlockedItems,
             OnTrigger onTrigger, Ticks& ticks, Buses buses, QObject* parent = nullptr);
    ~AutoLock() override;
    AutoLock(const AutoLock&) = delete;
    AutoLock& operator=(const AutoLock&) = delete;

    // Starts watching and ticking; once.
    void start();
    [[nodiscard]] int idleMinutes() const { return idleMinutes_(); }
    // Whether a screen locker says the screen is locked now (each one's word counts for itself:
    // another program saying "unlocked" under a name of its own clears nothing).
    [[nodiscard]] bool screenIsLocked() const noexcept { return !lockedBy_.empty(); }
    // False while this login session is switched away.
    [[nodiscard]] bool sessionIsActive() const noexcept { return sessionActive_; }
    // Whether logind says this login session is ending (the user logging out); false when it
    // cannot tell within a second.
    QCoro::Task<bool> isSessionClosing();
    // Seconds since the last input; none when no source tells.
    QCoro::Task<std::optional<double>> idleSeconds();
    [[nodiscard]] const Triggers& available() const noexcept { return available_; }
    // Whether items are open: while they are (and the computer is not going to sleep), logind
    // waits for Tessela before it sleeps.
    void setItemsOpen(bool open);
    [[nodiscard]] bool isHoldingSleep() const noexcept { return sleepInhibitor_.isHolding(); }

    static constexpr std::chrono::seconds tickInterval{30};

    [[nodiscard]] static QString sourceName(IdleSource source);

  Q_SIGNALS:
    void availableChanged();
    // An idle check has ended (for tests driving the ticks).
    void checked();

  private Q_SLOTS:
    void screenSaverActiveChanged(bool active, const QDBusMessage& message);
    void sessionLocked();
    void sessionUnlocked();
    void sessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                  const QStringList& invalidated);
    void prepareForSleep(bool starting);

  private:
    // What this desktop offers: the login session, the screen savers, the idle source.
    QCoro::Task<> findSources();
    QCoro::Task<> findSession();
    QCoro::Task<> findScreenSavers();
    // The first source that answers, or none.
    QCoro::Task<std::optional<IdleSource>> findIdleSource();
    QCoro::Task<std::optional<double>> readIdle(IdleSource source);
    QCoro::Task<> tick();
    QCoro::Task<> sleepPass();
    void fire(Trigger trigger);
    void holdSleepWhileNeeded();
    void setAvailable(const Triggers& now);

    std::function<int()> idleMinutes_;
    std::function<bool()> hasUnlockedItems_;
    OnTrigger onTrigger_;
    Ticks& ticks_;
    Buses buses_;
    QDBusConnection sessionBus_;
    QDBusConnection logindBus_;
    DelayInhibitor sleepInhibitor_;
    std::unique_ptr<Ticks::Ticker> ticker_;
    QString sessionPath_;
    Triggers available_;
    bool started_ = false;
    // The screen lockers that said the screen locked (by interface; "logind" for logind).
    std::set<QString> lockedBy_;
    bool sessionActive_ = true;
    bool itemsOpen_ = false;
    bool sleeping_ = false;
    bool sleepPassRunning_ = false;
    bool ticking_ = false;
};

}  // namespace tessela
