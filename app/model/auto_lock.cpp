#include "model/auto_lock.h"

#include <qcoro/qcorodbuspendingcall.h>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QPointer>

#include <array>
#include <chrono>
#include <cstdlib>

#include "activity/idle_policy.h"
#include "model/x11_idle.h"
#include "text/log.h"

namespace tessela {

namespace {

constexpr const char* logindService = "org.freedesktop.login1";
constexpr const char* logindPath = "/org/freedesktop/login1";
constexpr const char* logindManager = "org.freedesktop.login1.Manager";
constexpr const char* logindSession = "org.freedesktop.login1.Session";
constexpr const char* properties = "org.freedesktop.DBus.Properties";

// The screen savers whose ActiveChanged(bool) tells that the screen locked.
constexpr std::array<const char*, 4> screenSavers = {
    "org.freedesktop.ScreenSaver", "org.gnome.ScreenSaver", "org.cinnamon.ScreenSaver",
    "org.xfce.ScreenSaver"};

QDBusConnection sessionBusAt(const std::optional<std::string>& address) {
    if (!address) {
        return QDBusConnection::sessionBus();
    }
    return QDBusConnection::connectToBus(QString::fromStdString(*address),
                                         QStringLiteral("tessela-session"));
}

QDBusMessage methodCall(const char* service, const QString& path, const char* interface,
                        const char* method) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(service), path,
                                       QString::fromLatin1(interface), QString::fromLatin1(method));
    // A service that is not running is not started for a question about idleness.
    call.setAutoStartService(false);
    return call;
}

}  // namespace

AutoLock::Buses AutoLock::Buses::standard() {
    Buses buses;
    if (const char* id = std::getenv("XDG_SESSION_ID"); id != nullptr && *id != '\0') {
        buses.sessionId = id;
    }
    return buses;
}

AutoLock::AutoLock(std::function<int()> idleMinutes, std::function<bool()> hasUnlockedItems,
                   OnTrigger onTrigger, Ticks& ticks, Buses buses, QObject* parent)
    : QObject(parent),
      idleMinutes_(std::move(idleMinutes)),
      hasUnlockedItems_(std::move(hasUnlockedItems)),
      onTrigger_(std::move(onTrigger)),
      ticks_(ticks),
      buses_(std::move(buses)),
      sessionBus_(sessionBusAt(buses_.session)),
      logindBus_(logindBus(buses_.logind)),
      sleepInhibitor_(logindBus_, QStringLiteral("sleep"),
                      QStringLiteral("Tessela locks open items before sleep")) {}

AutoLock::~AutoLock() = default;

QString AutoLock::sourceName(IdleSource source) {
    switch (source) {
        case IdleSource::mutter:
            return QStringLiteral("GNOME's idle monitor");
        case IdleSource::screenSaver:
            return QStringLiteral("the screen saver service");
        case IdleSource::x11:
            return QStringLiteral("the X11 screen-saver extension");
        case IdleSource::logind:
            return QStringLiteral("logind's idle hint");
    }
    return {};
}

void AutoLock::start() {
    if (started_) {
        return;
    }
    started_ = true;
    if (sessionBus_.isConnected()) {
        for (const char* service : screenSavers) {
            sessionBus_.connect(QString::fromLatin1(service), QString(), QString::fromLatin1(service),
                                QStringLiteral("ActiveChanged"), this,
                                SLOT(screenSaverActiveChanged(bool, QDBusMessage)));
        }
    }
    if (logindBus_.isConnected()) {
        logindBus_.connect(QString::fromLatin1(logindService), QString::fromLatin1(logindPath),
                           QString::fromLatin1(logindManager), QStringLiteral("PrepareForSleep"),
                           this, SLOT(prepareForSleep(bool)));
    }
    QCoro::connect(findSources(), this, [] {});
    ticker_ = ticks_.every(tickInterval, [this] {
        // A tick that comes while the last one still waits for its answer is skipped.
        if (!ticking_) {
            QCoro::connect(tick(), this, [] {});
        }
    });
    holdSleepWhileNeeded();
}

QCoro::Task<> AutoLock::findSession() {
    if (!logindBus_.isConnected()) {
        co_return;
    }
    const QPointer<AutoLock> alive(this);
    QDBusMessage call =
        methodCall(logindService, QString::fromLatin1(logindPath), logindManager, "GetSession");
    call << QString::fromStdString(buses_.sessionId.value_or("auto"));
    const QDBusPendingCall pending = logindBus_.asyncCall(call);
    const QDBusMessage reply = co_await pending;
    if (!alive) {
        co_return;
    }
    Triggers now = available_;
    // logind answered, if only to say it knows no session of this process: sleep is heard.
    now.sleep = reply.type() == QDBusMessage::ReplyMessage ||
                reply.errorName().startsWith(QStringLiteral("org.freedesktop.login1."));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        logMessage(LogLevel::info,
                   {"No logind session: session switches and logind's screen lock are not "
                    "heard"},
                   LogArea::app);
        setAvailable(now);
        co_return;
    }
    sessionPath_ = qvariant_cast<QDBusObjectPath>(reply.arguments().front()).path();
    const QString service = QString::fromLatin1(logindService);
    const QString session = QString::fromLatin1(logindSession);
    const bool lock = logindBus_.connect(service, sessionPath_, session, QStringLiteral("Lock"),
                                         this, SLOT(sessionLocked()));
    logindBus_.connect(service, sessionPath_, session, QStringLiteral("Unlock"), this,
                       SLOT(sessionUnlocked()));
    const bool active = logindBus_.connect(
        service, sessionPath_, QString::fromLatin1(properties), QStringLiteral("PropertiesChanged"),
        this, SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
    now.screenLock = now.screenLock || lock;
    now.sessionSwitch = active;
    setAvailable(now);
}

QCoro::Task<bool> AutoLock::isSessionClosing() {
    if (!logindBus_.isConnected() || sessionPath_.isEmpty()) {
        co_return false;
    }
    QDBusMessage call = methodCall(logindService, sessionPath_, properties, "Get");
    call << QString::fromLatin1(logindSession) << QStringLiteral("State");
    const QDBusPendingCall pending = logindBus_.asyncCall(call, 1000);
    const QDBusMessage reply = co_await pending;
    co_return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
        qvariant_cast<QDBusVariant>(reply.arguments().front()).variant().toString() ==
            QStringLiteral("closing");
}

QCoro::Task<> AutoLock::findScreenSavers() {
    if (!sessionBus_.isConnected()) {
        co_return;
    }
    const QPointer<AutoLock> alive(this);
    for (const char* service : screenSavers) {
        QDBusMessage call = methodCall("org.freedesktop.DBus", QStringLiteral("/org/freedesktop/DBus"),
                                       "org.freedesktop.DBus", "NameHasOwner");
        call << QString::fromLatin1(service);
        const QDBusPendingCall pending = sessionBus_.asyncCall(call);
        const QDBusMessage reply = co_await pending;
        if (!alive) {
            co_return;
        }
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
            reply.arguments().front().toBool()) {
            Triggers now = available_;
            now.screenLock = true;
            setAvailable(now);
            break;
        }
    }
}

QCoro::Task<> AutoLock::findSources() {
    const QPointer<AutoLock> alive(this);
    co_await findSession();  // first: logind's idle hint is this session's
    if (!alive) {
        co_return;
    }
    co_await findScreenSavers();
    if (!alive) {
        co_return;
    }
    const std::optional<IdleSource> source = co_await findIdleSource();
    if (alive) {
        Triggers now = available_;
        now.idle = source;
        setAvailable(now);
    }
}

void AutoLock::setAvailable(const Triggers& now) {
    if (now != available_) {
        available_ = now;
        Q_EMIT availableChanged();
    }
}

QCoro::Task<std::optional<AutoLock::IdleSource>> AutoLock::findIdleSource() {
    const QPointer<AutoLock> alive(this);
    for (const IdleSource source :
         {IdleSource::mutter, IdleSource::screenSaver, IdleSource::x11, IdleSource::logind}) {
        const bool answered = (co_await readIdle(source)).has_value();
        if (!alive) {
            co_return std::nullopt;
        }
        if (answered) {
            co_return source;
        }
    }
    co_return std::nullopt;
}

QCoro::Task<std::optional<double>> AutoLock::idleSeconds() {
    const QPointer<AutoLock> alive(this);
    if (available_.idle) {
        if (const std::optional<double> seconds = co_await readIdle(*available_.idle)) {
            co_return seconds;
        }
    }
    if (!alive) {
        co_return std::nullopt;
    }
    // The source stopped answering (a desktop restarted, another took over): look again.
    const std::optional<IdleSource> source = co_await findIdleSource();
    if (!alive) {
        co_return std::nullopt;
    }
    Triggers now = available_;
    now.idle = source;
    setAvailable(now);
    co_return source ? co_await readIdle(*source) : std::nullopt;
}

QCoro::Task<std::optional<double>> AutoLock::readIdle(IdleSource source) {
    const auto answer = [](const QDBusMessage& reply) -> std::optional<QVariant> {
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            return std::nullopt;
        }
        return reply.arguments().front();
    };
    switch (source) {
        case IdleSource::mutter: {
            if (!sessionBus_.isConnected()) {
                co_return std::nullopt;
            }
            const QDBusPendingCall pending = sessionBus_.asyncCall(
                methodCall("org.gnome.Mutter.IdleMonitor",
                           QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"),
                           "org.gnome.Mutter.IdleMonitor", "GetIdletime"));
            const QDBusMessage reply = co_await pending;
            const std::optional<QVariant> value = answer(reply);
            co_return value ? std::optional(static_cast<double>(value->toULongLong()) / 1000.0)
                            : std::nullopt;
        }
        case IdleSource::screenSaver: {
            if (!sessionBus_.isConnected()) {
                co_return std::nullopt;
            }
            // KDE Plasma answers in milliseconds (on Wayland it says it cannot).
            const QDBusPendingCall pending = sessionBus_.asyncCall(
                methodCall("org.freedesktop.ScreenSaver", QStringLiteral("/org/freedesktop/ScreenSaver"),
                           "org.freedesktop.ScreenSaver", "GetSessionIdleTime"));
            const QDBusMessage reply = co_await pending;
            const std::optional<QVariant> value = answer(reply);
            co_return value ? std::optional(static_cast<double>(value->toUInt()) / 1000.0)
                            : std::nullopt;
        }
        case IdleSource::x11:
            co_return x11IdleSeconds();
        case IdleSource::logind: {
            if (!logindBus_.isConnected() || sessionPath_.isEmpty()) {
                co_return std::nullopt;
            }
            QDBusMessage call = methodCall(logindService, sessionPath_, properties, "GetAll");
            call << QString::fromLatin1(logindSession);
            const QDBusPendingCall pending = logindBus_.asyncCall(call);
            const QDBusMessage reply = co_await pending;
            const std::optional<QVariant> value = answer(reply);
            if (!value) {
                co_return std::nullopt;
            }
            const QVariantMap session = qdbus_cast<QVariantMap>(*value);
            if (!session.contains(QStringLiteral("IdleHint"))) {
                co_return std::nullopt;
            }
            if (!session.value(QStringLiteral("IdleHint")).toBool()) {
                co_return 0.0;
            }
            // Microseconds of the wall clock when the session went idle.
            const auto since = std::chrono::microseconds(
                session.value(QStringLiteral("IdleSinceHint")).toULongLong());
            const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::system_clock::now().time_since_epoch());
            co_return now > since ? std::chrono::duration<double>(now - since).count() : 0.0;
        }
    }
    co_return std::nullopt;
}

QCoro::Task<> AutoLock::tick() {
    ticking_ = true;
    const QPointer<AutoLock> alive(this);
    // Nothing open: nothing to lock, and no need to ask anyone how long the user was away.
    std::optional<double> idle;
    if (hasUnlockedItems_() && idleMinutes_() >= 1) {
        idle = co_await idleSeconds();
    }
    if (!alive) {
        co_return;
    }
    ticking_ = false;
    if (idle && IdlePolicy::shouldLock(*idle, idleMinutes_(), hasUnlockedItems_())) {
        fire(Trigger::idle);
    }
    Q_EMIT checked();
}

void AutoLock::fire(Trigger trigger) {
    QCoro::connect(onTrigger_(trigger), this, [] {});
}

void AutoLock::screenSaverActiveChanged(bool active, const QDBusMessage& message) {
    if (!active) {
        lockedBy_.erase(message.interface());
        return;
    }
    lockedBy_.insert(message.interface());
    fire(Trigger::screenLocked);
}

void AutoLock::sessionLocked() {
    lockedBy_.insert(QStringLiteral("logind"));
    fire(Trigger::screenLocked);
}

void AutoLock::sessionUnlocked() {
    lockedBy_.erase(QStringLiteral("logind"));
}

void AutoLock::sessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                        const QStringList& /*invalidated*/) {
    if (interface != QString::fromLatin1(logindSession)) {
        return;
    }
    const auto active = changed.find(QStringLiteral("Active"));
    if (active == changed.end()) {
        return;
    }
    sessionActive_ = active->toBool();
    if (!sessionActive_) {
        fire(Trigger::sessionEnded);
    }
}

void AutoLock::prepareForSleep(bool starting) {
    if (!starting) {
        // Awake again: logind waits for the next sleep while items are open.
        sleeping_ = false;
        holdSleepWhileNeeded();
        return;
    }
    if (sleeping_) {
        return;
    }
    sleeping_ = true;
    QCoro::connect(sleepPass(), this, [] {});
}

QCoro::Task<> AutoLock::sleepPass() {
    const QPointer<AutoLock> alive(this);
    sleepPassRunning_ = true;
    try {
        co_await onTrigger_(Trigger::sleep);
    } catch (const std::exception&) {
        logCaught(LogLevel::warning, {"Could not lock the open items before sleep"}, LogArea::app);
    }
    if (!alive) {
        co_return;
    }
    sleepPassRunning_ = false;
    if (sleeping_) {
        // Locked or not, logind may go on now: a computer that cannot sleep is no safer.
        sleepInhibitor_.setHolding(false);
    } else {
        // Awake again before the pass ended (logind went on after its limit): held as before
        // while items are open, for the next sleep.
        holdSleepWhileNeeded();
    }
}

void AutoLock::setItemsOpen(bool open) {
    itemsOpen_ = open;
    holdSleepWhileNeeded();
}

void AutoLock::holdSleepWhileNeeded() {
    // During the pass before sleep the inhibitor stays as it is: the pass's end decides.
    if (!sleepPassRunning_) {
        sleepInhibitor_.setHolding(started_ && itemsOpen_ && !sleeping_);
    }
}

}  // namespace tessela
