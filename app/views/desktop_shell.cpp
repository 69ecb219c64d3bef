#include "views/desktop_shell.h"

#include <qcoro/qcorotask.h>

#include <QGuiApplication>

#include "model/app_model.h"
#include "model/notifications.h"
#include "text/log.h"
#include "views/application.h"

namespace tessela {

DesktopShell::DesktopShell(Application& application, bool tray,
                           ItemsView::FinderMenu finderMenu)
    : application_(application), window_(*this, std::move(finderMenu)) {
    AppModel& model = application_.model();
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
    connect(&application_, &Application::showRequested, this, [this] { window_.present(); });
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
    const ItemList& items = application_.model().items();
    window_.render(items.rows(), items.openItems(), items.needsSetup());
    if (tray_) {
        tray_->setOpenItems(items.openItems());
    }
}

void DesktopShell::unlock(const std::filesystem::path& url) {
    application_.model().handle(TesselaCommand::unlock(url));
}

void DesktopShell::lock(const std::filesystem::path& url) {
    application_.model().handle(TesselaCommand::lockNow({url}));
}

void DesktopShell::removeLock(const std::filesystem::path& url) {
    application_.model().handle(TesselaCommand::removeLock(url));
}

void DesktopShell::showInFileManager(const std::filesystem::path& url) {
    AppModel& model = application_.model();
    model.launch(model.showInFileManager(url));
}

void DesktopShell::locate(const ItemRow& row) {
    application_.model().locate(row);
}

void DesktopShell::forget(const ItemRow& row) {
    application_.model().confirmForget(row);
}

void DesktopShell::chooseAndLock() {
    application_.model().chooseAndLock();
}

void DesktopShell::lockAll() {
    AppModel& model = application_.model();
    model.launch(model.lockAll());
}

void DesktopShell::openWindow() {
    window_.present();
}

void DesktopShell::quit() {
    QCoro::connect(application_.quit(true), &application_, [](bool) {});
}

}  // namespace tessela
