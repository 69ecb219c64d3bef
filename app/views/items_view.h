#pragma once

#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QWidget>

#include <cstddef>
#include <functional>
#include <map>
#include <vector>

#include "model/item_list.h"
#include "records/uuid.h"
#include "views/item_actions.h"

class QMenu;
class QPushButton;
class QScrollArea;
class QStackedWidget;
class QVBoxLayout;

namespace tessela {

// A one-line label that shortens its text in the middle when it is too narrow; the whole text
// is its accessible name and its tooltip.
class ElidedLabel : public QLabel {
    Q_OBJECT

  public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text);
    [[nodiscard]] QSize minimumSizeHint() const override;
    // The text as it is drawn at the label's width.
    [[nodiscard]] QString shownText() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

class Capsule;
class LinkButton;

// What every row draws the same way in the current look, made once for the whole list.
struct RowLook {
    QColor secondary;
    QColor accent;  // as text on the window
    QPixmap locked;
    QPixmap open;
    QPixmap missing;
    QIcon more;
};

// One locked item in the list, left to right: its icon, its name with a capsule saying
// "Unlocked" or "Locked", a caption (shortened in the middle), its sizes, and the actions that
// apply to it. The context menu key (or a right-click) opens the same menu as its "…" button.
class ItemRowView : public QFrame {
    Q_OBJECT

  public:
    // `look` belongs to the list and outlives the row.
    ItemRowView(ItemActions& actions, const RowLook& look, QWidget* parent = nullptr);
    void setRow(const ItemRow& row);
    [[nodiscard]] const ItemRow& row() const noexcept { return row_; }
    // The row's caption: where it is, what to do with it, or that it cannot be found.
    [[nodiscard]] static QString caption(const ItemRow& row);
    // The actions' menu (for a row whose item can be found), none otherwise. Made when first
    // asked for.
    [[nodiscard]] QMenu* menu();
    // Draws the parts that follow the look (icon, capsule, captions) again.
    void restyle();

  protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    void popUpMenu(QPoint at);

    ItemActions& actions_;
    const RowLook& look_;
    ItemRow row_;
    QLabel* icon_;
    ElidedLabel* name_;
    Capsule* capsule_;
    ElidedLabel* caption_;
    QLabel* update_;
    QLabel* originalSize_;
    QLabel* lockedSize_;
    QPushButton* primary_;
    LinkButton* removeLock_;
    QPushButton* more_;
    QMenu* menu_ = nullptr;
    LinkButton* locate_;
    LinkButton* forget_;
    QStackedWidget* actionsBox_ = nullptr;
};

// The main window's content: the header with the summary line and "Lock Files…", and the
// list of locked items, or what to do first when there is none.
class ItemsView : public QWidget {
    Q_OBJECT

  public:
    // Whether the file-manager menu is on, and turning it on (the system's, by default).
    struct FinderMenu {
        std::function<bool()> enabled;
        std::function<void()> turnOn;
        [[nodiscard]] static FinderMenu system();
    };

    ItemsView(ItemActions& actions, FinderMenu finderMenu, QWidget* parent = nullptr);

    // Shows `rows`, of which `openCount` are open. Rows are kept by id: only what changed is
    // drawn again. Until it is first called, the view says it is reading the items.
    void setRows(const std::vector<ItemRow>& rows, std::size_t openCount);
    // "{n} locked" or "{n} locked · {m} unlocked".
    [[nodiscard]] static QString summary(std::size_t rows, std::size_t open);
    // The row showing the item `id`, if any.
    [[nodiscard]] ItemRowView* rowView(const Uuid& id) const;
    // The settings button: shown once there is a settings window to open.
    [[nodiscard]] QPushButton* settingsButton() const noexcept { return settings_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    void readFinderMenu();
    void restyle();

    ItemActions& actions_;
    RowLook look_;
    FinderMenu finderMenu_;
    QLabel* summary_;
    QPushButton* settings_;
    QFrame* divider_;
    QStackedWidget* pages_;
    QWidget* reading_;
    QWidget* empty_;
    QLabel* emptySymbol_;
    QPushButton* turnOnMenu_;
    QScrollArea* scroll_;
    QVBoxLayout* list_;
    std::map<Uuid, ItemRowView*> rowViews_;
    std::vector<ItemRowView*> order_;
};

}  // namespace tessela
