#include "views/desktop_shell.h"

#include <qcoro/qcorotask.h>

#include <QGuiApplication>

#include "model/app_model.h"
#include "model/notifications.h"
#include "text/log.h"

namespace tessela {

DesktopShell::DesktopShell(AppModel& model, std::function<void()> quit, bool tray,
                           ItemsView::FinderMenu finderMenu)
    : model_(model), quit_(std::move(quit)), window_(*this, std::move(finderMenu)) {
    ItemList& items = model.items();
    connect(&items, &ItemList::rowsChanged, this, &DesktopShell::render);
    connect(&items, &ItemList::openItemsChanged, this, &DesktopShell::render);
    connect(&items, &ItemList::needsSetupChanged, this, [this, &items] {
        render();
        if (items.needsSetup()) {
            window_.present();
        }
    });
    connect(&model, &AppModel::setupRequested, this, [this] {
        window_.present();
        // Without a display nobody sees the window: the desktop's notifications may still be.
        if (QGuiApplication::platformName() == QStringLiteral("offscreen")) {
            Notifications::post(QStringLiteral("Tessela needs a password first"),
                                QStringLiteral("Set one in a terminal with: tessela setup"));
        }
    });
    // A password set from a terminal meanwhile: read again when the user comes back.
    connect(&window_, &MainWindow::activated, this, [&model] {
        if (model.items().needsSetup()) {
            QCoro::connect(model.refresh(), &model, [] {});
        }
    });
    render();
    if (tray) {
        tray_ = std::make_unique<TrayIcon>(actions());
        tray_->setOpenItems(items.openItems());
        tray_->show();
        return;
    }
    window_.present();
    const Settings& settings = model.settings();
    if (!settings.boolean(trayHintShownKey).value_or(false)) {
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

void DesktopShell::render() {
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
    model_.launch(model_.lockAll());
}

void DesktopShell::openWindow() {
    window_.present();
}

void DesktopShell::quit() {
    quit_();
}

}  // namespace tessela
