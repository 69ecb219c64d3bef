#include "views/desktop_shell.h"

#include <qcoro/qcorotask.h>

#include <QDBusConnection>
#include <QGuiApplication>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>

#include "model/app_model.h"
#include "model/app_paths.h"
#include "model/system_checks.h"
#include "model/notifications.h"
#include "text/log.h"

namespace tessela {

bool DesktopShell::isOnScreen() {
    return QGuiApplication::platformName() != QStringLiteral("offscreen");
}

DesktopShell::DesktopShell(AppModel& model, std::function<void()> quit, bool tray,
                           ItemsView::FinderMenu finderMenu, bool seen, Autostart autostart)
    : model_(model),
      quit_(std::move(quit)),
      autostart_(std::move(autostart)),
      finderMenu_(std::move(finderMenu)),
      window_(*this, finderMenu_, setupServices(finderMenu_)),
      seen_(seen) {
    window_.items().settingsButton()->show();
    connect(window_.items().settingsButton(), &QPushButton::clicked, this,
            [this] { settings().present(); });
    ItemList& items = model.items();
    connect(&items, &ItemList::rowsChanged, this, &DesktopShell::render);
    connect(&items, &ItemList::openItemsChanged, this, &DesktopShell::render);
    connect(&items, &ItemList::needsSetupChanged, this, [this, &items] {
        render();
        if (items.needsSetup()) {
            // Whether setup offers the fingerprint: asked when setup is shown, not at every start.
            QCoro::connect(readFingerprint(), this, [] {});
            window_.present();
        }
    });
    // Nothing is shown as locked or open before start-up has read the items: until then the
    // window says it is reading them, and the tray icon waits.
    connect(&model, &AppModel::readyChanged, this, [this] {
        render();
        if (tray_ && model_.isReady()) {
            tray_->show();
        }
    });
    connect(&model, &AppModel::setupRequested, this, [this] {
        window_.present();
        // Without a display nobody sees the window: the desktop's notifications may still be.
        if (!seen_) {
            Notifications::post(QStringLiteral("Tessela needs a password first"),
                                QStringLiteral("Set one in a terminal with: tessela setup"));
        }
    });
    // A password set from a terminal meanwhile: read again when the user comes back.
    connect(&window_, &MainWindow::activated, this, [&model] {
        if (model.isReady() && model.items().needsSetup()) {
            QCoro::connect(model.refresh(), &model, [] {});
        }
    });
    render();
    if (tray) {
        tray_ = std::make_unique<TrayIcon>(actions());
        if (tray_->hostedByPanel()) {
            // The panel may go (a shell restarting, its tray extension turned off): the window
            // then comes up, so that Tessela is never running unseen.
            panelWatch_ = std::make_unique<QDBusServiceWatcher>(
                QString::fromUtf16(TrayIcon::watcherServiceName), QDBusConnection::sessionBus(),
                QDBusServiceWatcher::WatchForUnregistration);
            connect(panelWatch_.get(), &QDBusServiceWatcher::serviceUnregistered, this,
                    [this] { window_.present(); });
        }
        if (model.isReady()) {
            tray_->show();
        }
        return;
    }
    window_.present();
    // Said once to a person: an offscreen start shows nobody anything.
    const Settings& settings = model.settings();
    if (seen_ && !settings.boolean(trayHintShownKey).value_or(false)) {
        window_.showTrayHint();
        try {
            settings.setBoolean(trayHintShownKey, true);
        } catch (const std::system_error&) {
            logCaught(LogLevel::info, {"Could not note that the tray note was shown"},
                      LogArea::app);
        }
    }
}

DesktopShell::~DesktopShell() = default;

SettingsView& DesktopShell::settings() {
    if (!settings_) {
        settings_ = std::make_unique<SettingsView>(model_, autostart_, finderMenu_);
    }
    return *settings_;
}

SetupView::Services DesktopShell::setupServices(const ItemsView::FinderMenu& finderMenu) {
    SetupView::Services services;
    services.finish = [this](std::string password, bool fingerprint, bool atLogin) {
        return finishSetup(std::move(password), fingerprint, atLogin);
    };
    services.finderMenu = finderMenu;
    services.diskEncryption = SystemChecks::diskEncryptionOn(AppPaths::home());
    services.diskSettings = SetupView::desktopDiskSettings();
    services.finderHint = SetupView::desktopFinderHint();
    return services;
}

QCoro::Task<std::optional<std::string>> DesktopShell::finishSetup(std::string password,
                                                                  bool fingerprint, bool atLogin) {
    const QPointer<DesktopShell> alive(this);
    auto settingUp = model_.setUpPassword(std::move(password), fingerprint);
    std::optional<std::string> problem = co_await std::move(settingUp);
    if (alive && !problem && atLogin) {
        try {
            autostart_.setEnabled(true);
        } catch (const std::exception&) {
            logCaught(LogLevel::warning, {"Could not turn on opening Tessela at login"},
                      LogArea::app);
        }
    }
    co_return problem;
}

QCoro::Task<> DesktopShell::readFingerprint() {
    const QPointer<DesktopShell> alive(this);
    auto asking = model_.fingerprintUsable();
    const bool usable = co_await std::move(asking);
    if (alive) {
        window_.setup().setFingerprintUsable(usable);
    }
}

void DesktopShell::render() {
    if (!model_.isReady()) {
        return;
    }
    const ItemList& items = model_.items();
    window_.render(items.rows(), items.openItems(), items.needsSetup());
    if (tray_) {
        tray_->setOpenItems(items.openItems());
    }
}

void DesktopShell::unlock(const std::filesystem::path& url) {
    model_.handle(TesselaCommand::unlock(url));
}

void DesktopShell::lock(const std::filesystem::path& url) {
    model_.handle(TesselaCommand::lockNow({url}));
}

void DesktopShell::removeLock(const std::filesystem::path& url) {
    model_.handle(TesselaCommand::removeLock(url));
}

void DesktopShell::showInFileManager(const std::filesystem::path& url) {
    model_.launch(model_.showInFileManager(url));
}

void DesktopShell::locate(const ItemRow& row) {
    model_.locate(row);
}

void DesktopShell::forget(const ItemRow& row) {
    model_.confirmForget(row);
}

void DesktopShell::chooseAndLock() {
    model_.chooseAndLock();
}

void DesktopShell::lockAll() {
    // One at a time: a held Ctrl+L, or the tray and the window together, would otherwise ask
    // about the same file in use once per request.
    if (!lockingAll_) {
        model_.launch(lockAllOnce());
    }
}

QCoro::Task<> DesktopShell::lockAllOnce() {
    lockingAll_ = true;
    const auto done = qScopeGuard([this] { lockingAll_ = false; });
    auto locking = model_.lockAll();
    co_await std::move(locking);
}

void DesktopShell::openWindow() {
    window_.present();
}

void DesktopShell::quit() {
    quit_();
}

}  // namespace tessela
