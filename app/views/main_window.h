#pragma once

#include <QMainWindow>

#include <vector>

#include "model/item_list.h"
#include "records/open_item.h"
#include "views/item_actions.h"
#include "views/items_view.h"
#include "views/setup_view.h"

class QFrame;
class QLabel;
class QStackedWidget;

namespace tessela {

// The window "main" (titled "Tessela"): first-run setup while no password is set, else the
// item list. Closing it leaves the application running. Ctrl+L locks every open item, Ctrl+Q
// quits, Ctrl+W closes the window.
class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    // `setup`: what first-run setup uses (its file-manager menu is `finderMenu` when it has none).
    MainWindow(ItemActions& actions, ItemsView::FinderMenu finderMenu,
               SetupView::Services setup = {}, QWidget* parent = nullptr);

    // Shows the model's state.
    void render(const std::vector<ItemRow>& rows, const std::vector<OpenItem>& openItems,
                bool needsSetup);
    // Shows the window, brought to the front and given the keyboard.
    void present();
    // Says, once, that this desktop shows no tray icon and how to get one.
    void showTrayHint();
    [[nodiscard]] bool isShowingSetup() const;
    [[nodiscard]] ItemsView& items() noexcept { return *items_; }
    [[nodiscard]] SetupView& setup() noexcept { return *setup_; }

  Q_SIGNALS:
    // The window became the active one (the user came back to it).
    void activated();

  protected:
    void changeEvent(QEvent* event) override;

  private:
    QFrame* trayHint_;
    QStackedWidget* pages_;
    SetupView* setup_;
    ItemsView* items_;
};

}  // namespace tessela
