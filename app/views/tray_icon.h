#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "records/open_item.h"
#include "views/item_actions.h"
#include "views/symbols.h"

namespace tessela {

// The tray icon's menu, from top to bottom: "Everything is locked" when nothing is open, else
// the heading "Unlocked", "Lock {name}" for each open item and "Lock All" (Ctrl+L); then
// "Open Tessela" and "Quit Tessela" (Ctrl+Q).
class TrayMenu : public QMenu {
    Q_OBJECT

  public:
    // `panelDraws`: the panel draws the menu from its D-Bus description (a StatusNotifierItem),
    // where an underscore marks a keyboard letter; else Qt draws it.
    explicit TrayMenu(ItemActions& actions, bool panelDraws = false, QWidget* parent = nullptr);
    // Rebuilt only when the open items' names or places change: an entry a person is about to
    // choose stays where it is.
    void setOpenItems(const std::vector<OpenItem>& openItems);
    // "Lock {name}" as an entry's text: the name shown as it is, whatever characters it holds
    // (an ampersand or an underscore is no keyboard letter, a tab or line break no column).
    [[nodiscard]] static QString lockEntry(const std::string& name, bool panelDraws);

  private:
    ItemActions& actions_;
    bool panelDraws_;
    std::optional<std::vector<std::pair<std::string, std::filesystem::path>>> shown_;
};

// Tessela in the panel's status area (a StatusNotifierItem where the desktop has a host for
// them, else the X11 tray): the closed padlock, or the open one while any item is open, with
// the menu above. Clicking it opens the main window.
class TrayIcon : public QObject {
    Q_OBJECT

  public:
    explicit TrayIcon(ItemActions& actions, QObject* parent = nullptr);
    ~TrayIcon() override;
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Whether the desktop shows tray icons now.
    [[nodiscard]] static bool available();
    // Whether a panel hosts StatusNotifierItems on the session bus (Qt then gives it the icon
    // and the menu over D-Bus), as Qt itself asks.
    [[nodiscard]] static bool panelHostsItems();
    // Whether a panel hosted it when it was made (asked once).
    [[nodiscard]] bool hostedByPanel() const noexcept { return hostedByPanel_; }
    // The service a panel's tray host owns.
    static constexpr const char16_t* watcherServiceName = u"org.kde.StatusNotifierWatcher";
    void setOpenItems(const std::vector<OpenItem>& openItems);
    void show();
    [[nodiscard]] TrayMenu& menu() noexcept { return menu_; }
    // The picture shown: lock.fill or lock.open.fill.
    [[nodiscard]] Symbol symbol() const noexcept { return symbol_; }
    // Which picture the tray shows for these open items.
    [[nodiscard]] static Symbol symbolFor(const std::vector<OpenItem>& openItems);

  private:
    bool hostedByPanel_;
    TrayMenu menu_;
    QSystemTrayIcon icon_;
    Symbol symbol_ = Symbol::lockFill;
};

}  // namespace tessela
