// The tray menu, the main window's item list and the right-click demonstration through their
// real widgets, offscreen; then the window and the tray on the real model, engine and keyring.
#include <gtest/gtest.h>

#include <qcoro/qcorotask.h>
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "model/app_model.h"
#include "model/app_paths.h"
#include "model/password_store.h"
#include "model/system_checks.h"
#include "support/fuse_fixture.h"
#include "support/keyring_session.h"
#include "support/model_fixture.h"
#include "support/offscreen_application.h"
#include "support/raw_keyring_item.h"
#include "support/scripted_questions.h"
#include "support/temp_folder.h"
#include "support/widgets.h"
#include "views/desktop_shell.h"
#include "views/items_view.h"
#include "views/look.h"
#include "views/main_window.h"
#include "views/right_click_demo.h"
#include "views/tray_icon.h"

namespace tessela {
namespace {

namespace fs = std::filesystem;
using testing::button;
using testing::contains;
using testing::labels;
using testing::settle;
using testing::shownButtons;

// What the buttons asked for, in order, as "action path-or-name".
class RecordedActions : public ItemActions {
  public:
    std::vector<std::string> asked;
    void unlock(const fs::path& url) override { asked.push_back("unlock " + url.string()); }
    void lock(const fs::path& url) override { asked.push_back("lock " + url.string()); }
    void removeLock(const fs::path& url) override {
        asked.push_back("removeLock " + url.string());
    }
    void showInFileManager(const fs::path& url) override {
        asked.push_back("show " + url.string());
    }
    void locate(const ItemRow& row) override { asked.push_back("locate " + row.name); }
    void forget(const ItemRow& row) override { asked.push_back("forget " + row.name); }
    void chooseAndLock() override { asked.push_back("chooseAndLock"); }
    void lockAll() override { asked.push_back("lockAll"); }
    void openWindow() override { asked.push_back("openWindow"); }
    void quit() override { asked.push_back("quit"); }
};

ItemRow row(const std::string& name, bool found, bool open = false) {
    ItemRow made;
    made.id = Uuid::random();
    made.name = name;
    made.location = "/home/me/Documents";
    if (found) {
        made.url = fs::path("/home/me/Documents") / (name + ".tessvault");
        made.size = 2'500'000;
        made.originalSize = 2'000'000;
    }
    made.isOpen = open;
    return made;
}

OpenItem openItem(const ItemRow& row) {
    OpenItem item;
    item.id = row.id;
    item.name = row.name;
    item.lockedURL = row.url.value_or(fs::path());
    return item;
}

std::vector<std::string> menuLines(const QMenu& menu) {
    std::vector<std::string> lines;
    for (const QAction* action : menu.actions()) {
        lines.push_back(action->isSeparator() ? "--"
                        : action->isEnabled() ? action->text().toStdString()
                                              : "(" + action->text().toStdString() + ")");
    }
    return lines;
}

class DesktopViewsTest : public ::testing::Test {
  protected:
    testing::OffscreenApplication application;
    RecordedActions actions;
};

TEST_F(DesktopViewsTest, EachRowOffersWhatAppliesToItsItemAndEachButtonRunsItsAction) {
    bool menuOn = false;
    MainWindow window(actions, {[&] { return menuOn; }, [&] { menuOn = true; }});
    ItemRow found = row("Taxes", true);
    ItemRow open = row("Photos", true, true);
    ItemRow missing = row("Letters of a very long name that the row has to shorten somewhere",
                          false);
    ItemRow behind = row("Old", true);
    behind.needsPasswordUpdate = true;
    const std::vector<ItemRow> rows = {found, open, missing, behind};
    window.render(rows, {openItem(open)}, false);
    window.show();
    ItemsView& items = window.items();
    EXPECT_TRUE(contains(labels(items), "3 locked \u00B7 1 unlocked"));
    // Every button a person can reach has a name a screen reader says.
    for (const QAbstractButton* shown : window.findChildren<QAbstractButton*>()) {
        if (shown->isVisibleTo(&window)) {
            EXPECT_FALSE(shown->text().isEmpty() && shown->accessibleName().isEmpty())
                << shown->toolTip().toStdString();
        }
    }

    // Found and locked: Unlock, Remove Lock… and the menu; its sizes.
    ItemRowView& taxes = *items.rowView(found.id);
    EXPECT_EQ(shownButtons(taxes), (std::vector<std::string>{"Unlock", "Remove Lock…"}));
    EXPECT_TRUE(contains(labels(taxes), "Locked"));
    EXPECT_TRUE(contains(labels(taxes), "2.0\u00A0MB"));
    EXPECT_TRUE(contains(labels(taxes), "2.5\u00A0MB locked"));
    EXPECT_TRUE(contains(labels(taxes), "/home/me/Documents"));
    EXPECT_FALSE(contains(labels(taxes), "Needs password update"));
    EXPECT_EQ(taxes.accessibleName().toStdString(), "Taxes");
    EXPECT_EQ(taxes.accessibleDescription().toStdString(), "Locked");
    QTest::mouseClick(button(taxes, "Unlock"), Qt::LeftButton);
    QTest::mouseClick(button(taxes, "Remove Lock…"), Qt::LeftButton);

    // Open: Lock and the menu only; Remove Lock… through the menu, which the menu key opens.
    ItemRowView& photos = *items.rowView(open.id);
    EXPECT_EQ(shownButtons(photos), std::vector<std::string>{"Lock"});
    EXPECT_TRUE(contains(labels(photos), "Unlocked"));
    EXPECT_TRUE(contains(labels(photos), "Open in a private space. Lock it when you are done."));
    QTest::mouseClick(button(photos, "Lock"), Qt::LeftButton);
    QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(4, 4), photos.mapToGlobal(QPoint(4, 4)));
    QApplication::sendEvent(&photos, &key);
    ASSERT_NE(photos.menu(), nullptr);
    EXPECT_TRUE(photos.menu()->isVisible());
    EXPECT_EQ(menuLines(*photos.menu()),
              (std::vector<std::string>{"Show in File Manager", "Remove Lock…"}));
    photos.menu()->actions()[0]->trigger();
    photos.menu()->actions()[1]->trigger();
    photos.menu()->hide();

    // Missing: Locate… and Forget, the question-mark folder's caption, no size, no menu.
    ItemRowView& letters = *items.rowView(missing.id);
    EXPECT_EQ(shownButtons(letters), (std::vector<std::string>{"Locate…", "Forget"}));
    EXPECT_TRUE(contains(labels(letters), "Can't find this item"));
    EXPECT_FALSE(contains(labels(letters), "2.5\u00A0MB locked"));
    EXPECT_EQ(letters.menu(), nullptr);
    QTest::mouseClick(button(letters, "Locate…"), Qt::LeftButton);
    QTest::mouseClick(button(letters, "Forget"), Qt::LeftButton);

    EXPECT_TRUE(contains(labels(*items.rowView(behind.id)), "Needs password update"));
    const std::string taxesURL = found.url->string();
    const std::string photosURL = open.url->string();
    EXPECT_EQ(actions.asked,
              (std::vector<std::string>{"unlock " + taxesURL, "removeLock " + taxesURL,
                                        "lock " + photosURL, "show " + photosURL,
                                        "removeLock " + photosURL, "locate " + missing.name,
                                        "forget " + missing.name}));

    // The window's shortcuts: Ctrl+L locks everything, Ctrl+Q quits.
    actions.asked.clear();
    window.present();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_L, Qt::ControlModifier);
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(actions.asked, (std::vector<std::string>{"lockAll", "quit"}));

    // None open: the one-count form.
    window.render({found, missing, behind}, {}, false);
    EXPECT_TRUE(contains(labels(items), "3 locked"));
    EXPECT_EQ(ItemsView::summary(3, 0).toStdString(), "3 locked");
    EXPECT_EQ(ItemsView::summary(3, 1).toStdString(), "2 locked \u00B7 1 unlocked");
}

TEST_F(DesktopViewsTest, AChangedRowIsDrawnAgainAloneAndTheListFollowsOrderAndRemovals) {
    ItemsView items(actions, {[] { return true; }, [] {}});
    std::vector<ItemRow> rows;
    for (int index = 0; index < 5; ++index) {
        rows.push_back(row("Item " + std::to_string(index), true));
    }
    items.setRows(rows, 0);
    std::vector<ItemRowView*> views;
    for (const ItemRow& shown : rows) {
        views.push_back(items.rowView(shown.id));
    }

    rows[2].isOpen = true;
    items.setRows(rows, 1);
    for (std::size_t index = 0; index < rows.size(); ++index) {
        EXPECT_EQ(items.rowView(rows[index].id), views[index]);
    }
    EXPECT_TRUE(views[2]->row().isOpen);

    // Item 1 gone, item 4 first: the list shows them in the new order.
    std::vector<ItemRow> next = {rows[4], rows[0], rows[2], rows[3]};
    items.setRows(next, 1);
    EXPECT_EQ(items.rowView(rows[1].id), nullptr);
    items.show();
    QApplication::processEvents();
    std::vector<int> tops;
    for (const ItemRow& shown : next) {
        tops.push_back(items.rowView(shown.id)->y());
    }
    EXPECT_TRUE(std::is_sorted(tops.begin(), tops.end()));
    EXPECT_LT(tops.front(), tops.back());

    // Empty again: the empty state.
    items.setRows({}, 0);
    EXPECT_TRUE(contains(labels(items), "Nothing locked yet"));
    EXPECT_TRUE(contains(labels(items), "0 locked"));
}

TEST_F(DesktopViewsTest, TurnOnTheFileManagerMenuGoesOnceTheMenuIsOn) {
    const testing::TempFolder temp;
    const char* before = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> saved = before ? std::optional<std::string>(before) : std::nullopt;
    const auto restore = qScopeGuard([&] {
        if (saved) {
            ::setenv("XDG_DATA_HOME", saved->c_str(), 1);
        } else {
            ::unsetenv("XDG_DATA_HOME");
        }
    });
    ::setenv("XDG_DATA_HOME", (temp.path() / "data").c_str(), 1);
    const fs::path programs = temp.path() / "installed/bin";
    for (const SystemChecks::FinderPart& part : SystemChecks::finderParts(programs)) {
        fs::create_directories(part.target.parent_path());
        std::ofstream(part.target) << part.fileManager;
    }
    ItemsView items(actions, {[&] { return SystemChecks::finderExtensionEnabled(programs); },
                              [&] { SystemChecks::enableFinderExtension(programs); }});
    items.setRows({}, 0);
    items.show();
    QAbstractButton* turnOn = button(items, "Turn On the File-Manager Menu");
    ASSERT_NE(turnOn, nullptr);
    QTest::mouseClick(turnOn, Qt::LeftButton);
    EXPECT_TRUE(SystemChecks::finderExtensionEnabled(programs));
    EXPECT_FALSE(turnOn->isVisibleTo(&items));

    // Turned off elsewhere: back the next time the list is shown.
    SystemChecks::disableFinderExtension(programs);
    items.hide();
    items.show();
    EXPECT_TRUE(turnOn->isVisibleTo(&items));
}

TEST_F(DesktopViewsTest, TheTrayMenuListsTheOpenItemsAndItsIconFollowsThem) {
    TrayIcon tray(actions);
    EXPECT_EQ(menuLines(tray.menu()),
              (std::vector<std::string>{"(Everything is locked)", "--", "Open Tessela",
                                        "Quit Tessela"}));
    EXPECT_EQ(Symbols::name(tray.symbol()).toStdString(), "lock.fill");

    const ItemRow taxes = row("Taxes", true, true);
    const ItemRow photos = row("Photos", true, true);
    tray.setOpenItems({openItem(taxes)});
    EXPECT_EQ(Symbols::name(tray.symbol()).toStdString(), "lock.open.fill");
    EXPECT_EQ(menuLines(tray.menu()),
              (std::vector<std::string>{"(Unlocked)", "Lock Taxes", "--", "Lock All", "--",
                                        "Open Tessela", "Quit Tessela"}));
    tray.setOpenItems({openItem(taxes), openItem(photos)});
    const std::vector<std::string> lines = menuLines(tray.menu());
    ASSERT_EQ(lines.size(), 8U);
    EXPECT_EQ(lines[1], "Lock Taxes");
    EXPECT_EQ(lines[2], "Lock Photos");
    const QList<QAction*> entries = tray.menu().actions();
    EXPECT_EQ(entries[4]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_L));
    EXPECT_EQ(entries[7]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    for (const int entry : {2, 4, 6, 7}) {
        entries[entry]->trigger();
    }
    EXPECT_EQ(actions.asked, (std::vector<std::string>{"lock " + photos.url->string(), "lockAll",
                                                       "openWindow", "quit"}));
    tray.setOpenItems({});
    EXPECT_EQ(Symbols::name(tray.symbol()).toStdString(), "lock.fill");

    // A name is shown as it is: an ampersand or an underscore is no keyboard letter (a panel
    // drawing the menu from D-Bus reads an underscore as one), a tab no column.
    EXPECT_EQ(TrayMenu::lockEntry("Tom & Jerry_2\t", false).toStdString(),
              "Lock Tom && Jerry_2 ");
    EXPECT_EQ(TrayMenu::lockEntry("Tom & Jerry_2", true).toStdString(), "Lock Tom && Jerry__2");
    ItemRow odd = row("R&D_2026", true, true);
    tray.setOpenItems({openItem(odd)});
    const QAction* entry = tray.menu().actions()[1];
    EXPECT_EQ(entry->iconText().toStdString(), "Lock R&D_2026");
}

TEST_F(DesktopViewsTest, TheDemonstrationFollowsItsKeyframesAndHoldsStillWhenAsked) {
    using Frame = RightClickDemo::Frame;
    const Frame start = RightClickDemo::frameAt(0);
    EXPECT_EQ(start.pointer, QPointF(24, 178));
    EXPECT_EQ(start.menuOpacity, 0);
    const Frame click = RightClickDemo::frameAt(0.9);
    EXPECT_EQ(click.pointer, QPointF(82, 100));
    EXPECT_NEAR(click.pointerScale, 0.85, 1e-9);
    EXPECT_NEAR(RightClickDemo::frameAt(1.0).pointerScale, 1.0, 1e-9);
    EXPECT_NEAR(RightClickDemo::frameAt(0.95).selection, 0.18, 1e-9);
    EXPECT_NEAR(RightClickDemo::frameAt(1.15).menuOpacity, 1.0, 1e-9);
    const Frame first = RightClickDemo::frameAt(1.65);
    EXPECT_EQ(first.highlightedRow(), 0);
    EXPECT_NEAR(first.highlightOpacity, 1.0, 1e-9);
    const Frame chosen = RightClickDemo::frameAt(RightClickDemo::stillTime);
    EXPECT_EQ(chosen.highlightedRow(), 2);
    EXPECT_NEAR(chosen.highlightTop, 74, 1e-9);
    EXPECT_EQ(chosen.change, 0);
    const Frame after = RightClickDemo::frameAt(3.0);
    EXPECT_EQ(after.menuOpacity, 0);
    EXPECT_EQ(after.pointerOpacity, 0);
    EXPECT_EQ(after.change, 1);

    // Drawn: the highlight bar is there, in the accent colour, in the still frame and gone once
    // the menu has faded.
    RightClickDemo demo;
    demo.resize(RightClickDemo::frameSize);
    const QPoint inBar(238, 88 + 74 + 11);  // right of the row's text
    demo.setReduceMotion(true);
    demo.show();
    EXPECT_FALSE(demo.isAnimating());
    EXPECT_EQ(demo.shownTime(), RightClickDemo::stillTime);
    EXPECT_EQ(demo.grab().toImage().pixelColor(inBar), Look::accent);
    demo.setReduceMotion(false);
    EXPECT_TRUE(demo.isAnimating());
    demo.setTime(3.0);
    EXPECT_NE(demo.grab().toImage().pixelColor(inBar), Look::accent);
    // It moves on by itself, and a still frame asked for stops it.
    const double from = demo.time();
    EXPECT_TRUE(settle([&] { return demo.time() > from + 0.1 || demo.time() < from; }));
    demo.setFrozenPhase(RightClickDemo::Phase::menuOpenLockHighlighted);
    EXPECT_FALSE(demo.isAnimating());
    EXPECT_EQ(demo.grab().toImage().pixelColor(inBar), Look::accent);
    demo.hide();
}

// The window and the tray on the real model: a real locked item, the real keyring.
class DesktopShellTest : public testing::ModelFixture {
  protected:
    const ItemsView::FinderMenu menuOn{[] { return true; }, [] {}};
};

TEST_F(DesktopShellTest, WithoutATrayTheWindowOpensAndItsRowsRunTheRealOperations) {
    testing::writeFile(home / "Docs/Taxes.txt", "taxes");
    const LockedItem taxes =
        Locker(temp / "support", home, std::nullopt, tool).lock(home / "Docs/Taxes.txt", password, 1);
    PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 1, {}, {}});
    AppModel model(options(true), questions);
    model.setTouchIDEnabled(false);
    bool quitAsked = false;
    DesktopShell shell(model, [&] { quitAsked = true; }, false, menuOn, true);
    // No tray: the window is up at start, saying it reads the items until it has.
    MainWindow& window = shell.window();
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(contains(labels(window), "Reading your locked items…"));
    EXPECT_FALSE(contains(labels(window), "Nothing locked yet"));
    ASSERT_TRUE(QCoro::waitFor(model.start()));
    EXPECT_EQ(window.windowTitle().toStdString(), "Tessela");
    EXPECT_EQ(window.size(), QSize(700, 470));
    EXPECT_TRUE(window.findChild<QWidget*>(QStringLiteral("trayHint"))->isVisible());
    EXPECT_EQ(model.settings().boolean(DesktopShell::trayHintShownKey), true);
    ASSERT_TRUE(settle([&] { return window.items().rowView(taxes.id) != nullptr; }));
    ItemRowView& row = *window.items().rowView(taxes.id);

    // Unlock: the kept password is asked for and the row follows the item.
    questions.then(testing::answer::type(QString::fromUtf8(password)));
    QTest::mouseClick(button(row, "Unlock"), Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return row.row().isOpen; }));
    EXPECT_TRUE(contains(labels(window.items()), "0 locked \u00B7 1 unlocked"));
    QTest::mouseClick(button(row, "Lock"), Qt::LeftButton);
    ASSERT_TRUE(settle([&] { return !row.row().isOpen && model.items().openItems().empty(); }));
    EXPECT_TRUE(fs::is_directory(taxes.lastKnownPath));
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(quitAsked);
    EXPECT_TRUE(questions.unexpected.empty());
}

TEST_F(DesktopShellTest, TheTrayMenuLocksAnOpenItemAndTheWindowOpensWhenAPasswordIsNeeded) {
    testing::writeFile(home / "Docs/Photos.txt", "photos");
    const LockedItem photos = Locker(temp / "support", home, std::nullopt, tool)
                                  .lock(home / "Docs/Photos.txt", password, 1);
    PasswordStore(AppPaths::defaultKeychainService).save(StoredSecret{password, 1, {}, {}});
    AppModel model(options(true), questions);
    model.setTouchIDEnabled(false);
    DesktopShell shell(model, [] {}, true, menuOn, true);
    ASSERT_TRUE(QCoro::waitFor(model.start()));
    EXPECT_FALSE(shell.window().isVisible());  // the tray is there: nothing opens at start
    ASSERT_NE(shell.tray(), nullptr);

    questions.then(testing::answer::type(QString::fromUtf8(password)));
    QCoro::waitFor(model.unlock(photos.lastKnownPath));
    ASSERT_TRUE(settle([&] { return shell.tray()->symbol() == Symbol::lockOpenFill; }));
    const QList<QAction*> entries = shell.tray()->menu().actions();
    ASSERT_EQ(entries[1]->text().toStdString(), "Lock Photos.txt");
    entries[1]->trigger();
    ASSERT_TRUE(settle([&] { return shell.tray()->symbol() == Symbol::lockFill; }));
    EXPECT_TRUE(model.items().openItems().empty());

    // The password forgotten: the window comes up on its first-run page.
    testing::clearRawKeyringItems(AppPaths::defaultKeychainService);
    QCoro::waitFor(model.refresh());
    ASSERT_TRUE(settle([&] { return shell.window().isVisible(); }));
    EXPECT_TRUE(shell.window().isShowingSetup());
}

}  // namespace
}  // namespace tessela
