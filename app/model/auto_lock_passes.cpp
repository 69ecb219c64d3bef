// The model's side of auto-lock: the quiet passes, their one notification and the retries.
#include <qcoro/qcorosignal.h>

#include "errors/tessela_error.h"
#include "model/app_model.h"
#include "model/notifications.h"
#include "text/log.h"

namespace tessela {

namespace {

Ticks& ticksOf(const AppModel::Options& options) {
    return options.ticks != nullptr ? *options.ticks : Ticks::real();
}

}  // namespace

AutoLock& AppModel::autoLock() {
    if (!autoLock_) {
        AutoLock::Buses buses = options_.autoLockBuses;
        if (!buses.logind) {
            buses.logind = options_.logindBus;  // one logind for the shutdown watch and this
        }
        autoLock_ = std::make_unique<AutoLock>(
            [this] { return idleMinutes_; }, [this] { return !items_.openItems().empty(); },
            [this](AutoLock::Trigger trigger) { return autoLockTriggered(trigger); },
            ticksOf(options_), std::move(buses));
        connect(&items_, &ItemList::openItemsChanged, autoLock_.get(),
                [this] { autoLock_->setItemsOpen(!items_.openItems().empty()); });
        autoLock_->setItemsOpen(!items_.openItems().empty());
    }
    return *autoLock_;
}

QCoro::Task<> AppModel::autoLockTriggered(AutoLock::Trigger trigger) {
    const bool sleep = trigger == AutoLock::Trigger::sleep;
    if (autoLockInFlight_) {
        // Logind goes on to sleep once this returns: the pass under way ends first.
        if (sleep) {
            co_await qCoro(this, &AppModel::autoLockPassEnded);
        }
        co_return;
    }
    if (items_.openItems().empty()) {
        co_return;
    }
    if (retryTimer_) {
        // The retries continue the work; before sleep one of them runs at once, since the
        // computer will not wait for the next.
        if (sleep) {
            autoLockInFlight_ = true;
            if ((co_await relockAllQuietly()).empty()) {
                retryTimer_.reset();
            }
            autoLockInFlight_ = false;
            Q_EMIT autoLockPassEnded();
        }
        co_return;
    }
    autoLockInFlight_ = true;
    const std::vector<std::string> failed = co_await relockAllQuietly();
    if (!failed.empty()) {
        Notifications::post(
            QString::fromStdString("Tessela could not lock " + TesselaError::list(failed)),
            QStringLiteral("Files are still open in another app. Close them and Tessela will "
                           "lock automatically."));
        retryTimer_ = ticksOf(options_).every(autoLockRetryInterval, [this] {
            QCoro::connect(retryAutoLock(), this, [] {});
        });
    }
    autoLockInFlight_ = false;
    Q_EMIT autoLockPassEnded();
}

QCoro::Task<std::vector<std::string>> AppModel::relockAllQuietly() {
    std::vector<std::string> failed;
    // The items open when the pass began, in order.
    const std::vector<OpenItem> open = items_.openItems();
    for (const OpenItem& item : open) {
        bool locked = false;
        try {
            locked = co_await relock(item, false);
        } catch (const std::exception&) {
            logCaught(LogLevel::warning, {"Could not lock ", item.name, " automatically"},
                      LogArea::app);
        }
        if (!locked) {
            failed.push_back(item.name);
        }
    }
    co_await refresh();
    co_return failed;
}

QCoro::Task<> AppModel::retryAutoLock() {
    if (autoLockInFlight_) {
        co_return;
    }
    AutoLock& monitor = autoLock();
    bool away = monitor.screenIsLocked();
    if (!away && monitor.idleMinutes() >= 1) {
        const std::optional<double> idle = co_await monitor.idleSeconds();
        away = idle && *idle >= monitor.idleMinutes() * 60.0;
    }
    if (autoLockInFlight_) {
        co_return;  // a pass began while the idle time was asked
    }
    if (!away || items_.openItems().empty()) {
        retryTimer_.reset();
        co_return;
    }
    autoLockInFlight_ = true;
    if ((co_await relockAllQuietly()).empty()) {
        retryTimer_.reset();
    }
    autoLockInFlight_ = false;
    Q_EMIT autoLockPassEnded();
}

}  // namespace tessela
