#pragma once

#include <qcoro/qcorotask.h>
#include <QDBusServiceWatcher>
#include <QObject>

#include <functional>
#include <memory>

#include "model/autostart.h"
#include "views/item_actions.h"
#include "views/main_window.h"
#include "views/settings_view.h"
#include "views/tray_icon.h"

namespace tessela {

class AppModel;

// What a person sees of the running application: the tray icon and the main window, both
// following the model, with their buttons running the model's operations. Where the desktop
// shows no tray icons, the window opens at start instead (saying once why), so Tessela is never
// running unseen; it opens too whenever a password has to be set first, and when the panel
// that hosted the icon goes away. Nothing is shown as locked or open before start-up has read
// the items.
class DesktopShell : public QObject, private ItemActions {
    Q_OBJECT

  public:
    // `quit`: the application's Quit. `tray`: whether the desktop shows tray icons. `seen`:
    // whether a person sees the windows (not offscreen).
    DesktopShell(AppModel& model, std::function<void()> quit, bool tray = TrayIcon::available(),
                 ItemsView::FinderMenu finderMenu = ItemsView::FinderMenu::system(),
                 bool seen = isOnScreen(), Autostart autostart = Autostart::standard());
    [[nodiscard]] static bool isOnScreen();
    ~DesktopShell() override;
    DesktopShell(const DesktopShell&) = delete;
    DesktopShell& operator=(const DesktopShell&) = delete;

    [[nodiscard]] MainWindow& window() noexcept { return window_; }
    // None where the desktop shows no tray icons.
    [[nodiscard]] TrayIcon* tray() noexcept { return tray_.get(); }
    [[nodiscard]] ItemActions& actions() noexcept { return *this; }
    // The settings window, made when first opened.
    [[nodiscard]] SettingsView& settings();

    // The setting that records the no-tray note was shown.
    static constexpr const char* trayHintShownKey = "tessela.trayHintShown";

  private:
    void render();
    QCoro::Task<> lockAllOnce();
    SetupView::Services setupServices(const ItemsView::FinderMenu& finderMenu);
    QCoro::Task<std::optional<std::string>> finishSetup(std::string password, bool fingerprint,
                                                        bool atLogin);
    QCoro::Task<> readFingerprint();
    void unlock(const std::filesystem::path& url) override;
    void lock(const std::filesystem::path& url) override;
    void removeLock(const std::filesystem::path& url) override;
    void showInFileManager(const std::filesystem::path& url) override;
    void locate(const ItemRow& row) override;
    void forget(const ItemRow& row) override;
    void chooseAndLock() override;
    void lockAll() override;
    void openWindow() override;
    void quit() override;

    AppModel& model_;
    std::function<void()> quit_;
    Autostart autostart_;
    ItemsView::FinderMenu finderMenu_;
    MainWindow window_;
    std::unique_ptr<SettingsView> settings_;
    std::unique_ptr<TrayIcon> tray_;
    std::unique_ptr<QDBusServiceWatcher> panelWatch_;
    bool seen_;
    bool lockingAll_ = false;
};

}  // namespace tessela
