// The model's side of auto-lock: the quiet passes, their one notification and the retries.
#include <qcoro/qcorosignal.h>
#include <QPointer>

#include <algorithm>

#include "errors/tessela_error.h"
#include "model/app_model.h"
#include "model/notifications.h"

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

// One automatic pass at a time: set while it runs, and said when it ends however it ends.
class AppModel::AutoLockPass {
  public:
    explicit AutoLockPass(AppModel& model) : model_(model) { model_.autoLockInFlight_ = true; }
    ~AutoLockPass() {
        model_.autoLockInFlight_ = false;
        Q_EMIT model_.autoLockPassEnded();
    }
    AutoLockPass(const AutoLockPass&) = delete;
    AutoLockPass& operator=(const AutoLockPass&) = delete;

  private:
    AppModel& model_;
};

QCoro::Task<> AppModel::autoLockTriggered(AutoLock::Trigger trigger) {
    const bool sleep = trigger == AutoLock::Trigger::sleep;
    if (autoLockInFlight_) {
        // The pass under way took its list when it began: one more follows it, for an item that
        // opened since. Logind goes on to sleep once this returns: that one ends first.
        autoLockAgain_ = true;
        if (sleep) {
            co_await qCoro(this, &AppModel::autoLockPassEnded);
        }
        co_return;
    }
    // The retries continue the work; before sleep one of them runs at once, since the computer
    // will not wait for the next.
    if (retryTimer_ && !sleep) {
        co_return;
    }
    const AutoLockPass pass(*this);
    std::vector<std::string> failed;
    do {
        autoLockAgain_ = false;
        failed = co_await relockAllQuietly();
    } while (autoLockAgain_);
    if (failed.empty()) {
        retryTimer_.reset();
    } else if (!retryTimer_) {
        Notifications::post(
            QString::fromStdString("Tessela could not lock " + TesselaError::list(failed)),
            QStringLiteral("Files are still open in another app. Close them and Tessela will "
                           "lock automatically."));
        retryTimer_ = ticksOf(options_).every(autoLockRetryInterval, [this] {
            QCoro::connect(retryAutoLock(), this, [] {});
        });
    }
}

QCoro::Task<std::vector<std::string>> AppModel::relockAllQuietly() {
    const std::vector<OpenItem> open = co_await lockEachOpenItem(false);
    // What is still open now, in the pass's order: an item locked meanwhile by other means is
    // no failure.
    std::vector<std::string> failed;
    for (const OpenItem& item : open) {
        if (std::ranges::any_of(items_.openItems(),
                                [&](const OpenItem& still) { return still.id == item.id; })) {
            failed.push_back(item.name);
        }
    }
    co_return failed;
}

QCoro::Task<> AppModel::retryAutoLock() {
    if (autoLockInFlight_) {
        co_return;
    }
    const QPointer<AppModel> alive(this);
    AutoLock& monitor = autoLock();
    bool away = monitor.screenIsLocked() || !monitor.sessionIsActive();
    if (!away && monitor.idleMinutes() >= 1) {
        const std::optional<double> idle = co_await monitor.idleSeconds();
        if (!alive) {
            co_return;
        }
        away = idle && *idle >= monitor.idleMinutes() * 60.0;
    }
    if (autoLockInFlight_) {
        co_return;  // a pass began while the idle time was asked
    }
    if (!away || items_.openItems().empty()) {
        retryTimer_.reset();
        co_return;
    }
    const AutoLockPass pass(*this);
    if ((co_await relockAllQuietly()).empty()) {
        retryTimer_.reset();
    }
}

}  // namespace tessela
