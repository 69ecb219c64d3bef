#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

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
    explicit TrayMenu(ItemActions& actions, QWidget* parent = nullptr);
    void setOpenItems(const std::vector<OpenItem>& openItems);

  private:
    ItemActions& actions_;
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
    void setOpenItems(const std::vector<OpenItem>& openItems);
    void show();
    [[nodiscard]] TrayMenu& menu() noexcept { return menu_; }
    // The picture shown: lock.fill or lock.open.fill.
    [[nodiscard]] Symbol symbol() const noexcept { return symbol_; }
    // Which picture the tray shows for these open items.
    [[nodiscard]] static Symbol symbolFor(const std::vector<OpenItem>& openItems);

  private:
    TrayMenu menu_;
    QSystemTrayIcon icon_;
    Symbol symbol_ = Symbol::lockFill;
};

}  // namespace tessela
