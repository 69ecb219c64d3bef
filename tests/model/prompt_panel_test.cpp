// The progress panel and the prompts, through their real widgets, offscreen.
#include <gtest/gtest.h>

#include <qcoro/qcorotask.h>
#include <QAbstractItemView>
#include <QApplication>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

#include "support/modal_script.h"
#include "support/offscreen_application.h"
#include "support/temp_folder.h"
#include "views/item_chooser.h"
#include "views/progress_panel.h"
#include "views/prompt_panel.h"

namespace tessela {
namespace {

using testing::buttonOf;
using testing::press;

namespace fs = std::filesystem;
using testing::settle;

// In an open file dialog: goes to `folder` (unless it is there already: going clears the
// selection), waits for its listing and selects `names` (as the dialog shows them).
void selectIn(QWidget& window, const fs::path& folder, const QStringList& names) {
    auto* dialog = qobject_cast<QFileDialog*>(&window);
    ASSERT_NE(dialog, nullptr);
    const QString where = QString::fromStdString(folder.string());
    if (dialog->directory().absolutePath() != where) {
        dialog->setDirectory(where);
    }
    auto* files = dialog->findChild<QFileSystemModel*>();
    auto* list = dialog->findChild<QAbstractItemView*>("listView");
    ASSERT_TRUE(files != nullptr && list != nullptr);
    const bool listed = settle([&] {
        return std::all_of(names.begin(), names.end(), [&](const QString& name) {
            return files->index(where + "/" + name).isValid();
        });
    });
    if (!listed) {
        ADD_FAILURE() << "not listed in " << where.toStdString();
        window.close();  // the code under test goes on instead of waiting here
        return;
    }
    for (const QString& name : names) {
        list->selectionModel()->select(files->index(where + "/" + name),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    QCoreApplication::processEvents();  // the dialog's button follows the selection
}

class PromptPanelTest : public ::testing::Test {
  protected:
    // Once a modal window is up, hands it to `act` (which answers it).
    void whenModal(std::function<void(QWidget&)> act) {
        auto look = std::make_shared<std::function<void()>>();
        *look = [act = std::move(act), weak = std::weak_ptr(look)] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                act(*modal);
            } else if (const auto again = weak.lock()) {
                QTimer::singleShot(10, [again] { (*again)(); });
            }
        };
        QTimer::singleShot(0, [look] { (*look)(); });
    }

    testing::OffscreenApplication application;
};

TEST_F(PromptPanelTest, ButtonsKeepTheCallersOrderTheDefaultIsChosenAndNoLoopRunsNested) {
    QStringList shown;
    QPushButton* defaultButton = nullptr;
    int loopLevel = -1;
    whenModal([&](QWidget& alert) {
        for (QPushButton* candidate : alert.findChildren<QPushButton*>()) {
            shown << candidate->text();
        }
        if (const auto* box = qobject_cast<QMessageBox*>(&alert)) {
            defaultButton = box->defaultButton();
        }
        loopLevel = QThread::currentThread()->loopLevel();  // waitFor's own loop alone
        press(alert, "Force Lock");
    });
    EXPECT_EQ(QCoro::waitFor(PromptPanel::choose("Taxes is in use", "Numbers has files open.",
                                                 {"Try Again", "Force Lock", "Cancel"})),
              1);
    EXPECT_EQ(shown, QStringList({"Try Again", "Force Lock", "Cancel"}));
    EXPECT_EQ(defaultButton->text(), "Try Again");
    EXPECT_EQ(loopLevel, 1);

    // Another default where Return must not agree by accident.
    whenModal([&](QWidget& alert) {
        if (const auto* box = qobject_cast<QMessageBox*>(&alert)) {
            defaultButton = box->defaultButton();
        }
        press(alert, "Cancel");
    });
    EXPECT_EQ(QCoro::waitFor(PromptPanel::choose("Lock Report?", "Only lock it if you asked.",
                                                 {"Lock", "Cancel"}, nullptr, 1)),
              1);
    EXPECT_EQ(defaultButton->text(), "Cancel");
}

TEST_F(PromptPanelTest, AnEmptyPasswordIsAnAnswerAndCancelIsNone) {
    whenModal([&](QWidget& prompt) {
        const auto* field = prompt.findChild<QLineEdit*>();
        EXPECT_TRUE(field != nullptr && field->echoMode() == QLineEdit::Password);
        press(prompt, "OK");
    });
    EXPECT_EQ(QCoro::waitFor(PromptPanel::password("Unlock Taxes", "Enter your password.")),
              QString());
    whenModal([&](QWidget& prompt) {
        if (auto* field = prompt.findChild<QLineEdit*>()) {
            field->setText("secret");
        }
        press(prompt, "Cancel");
    });
    EXPECT_EQ(QCoro::waitFor(PromptPanel::password("Unlock Taxes", "Enter your password.")),
              std::nullopt);
}

// The open panel, through its real widgets: a typed folder name goes into the folder, a
// double-clicked file is chosen, files and folders are chosen together, and what was selected in
// a folder left behind is not chosen with what is selected in the folder shown.
TEST_F(PromptPanelTest, TheOpenPanelGoesIntoTypedFoldersAndChoosesFilesAndFoldersTogether) {
    const testing::TempFolder temp;
    const fs::path docs = temp.path() / "Docs";
    fs::create_directories(docs / "Folder");
    testing::writeFile(docs / "Folder/inner.txt", "inner");
    testing::writeFile(docs / "Café notes.txt", "accented");
    testing::writeFile(docs / "Plans.txt", "plans");
    const QString where = QString::fromStdString(docs.string());

    whenModal([&](QWidget& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Choose files or folders to lock.");
        auto* fileDialog = qobject_cast<QFileDialog*>(&dialog);
        auto* typed = dialog.findChild<QLineEdit*>("fileNameEdit");
        ASSERT_TRUE(fileDialog != nullptr && typed != nullptr);
        QApplication::setActiveWindow(&dialog);
        typed->setFocus();
        typed->setText("Folder");
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(typed, &enter);
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(fileDialog->directory().dirName(), "Folder");
        selectIn(dialog, docs, {"Folder", "Café notes.txt"});
        press(dialog, "Lock");
    });
    EXPECT_EQ(QCoro::waitFor(ItemChooser::choose("Choose files or folders to lock.", "Lock",
                                                 ItemChoice::filesAndFolders, where)),
              (std::vector<fs::path>{docs / "Folder", docs / "Café notes.txt"}));

    whenModal([&](QWidget& dialog) {
        selectIn(dialog, docs, {"Plans.txt"});
        auto* files = dialog.findChild<QFileSystemModel*>();
        auto* list = dialog.findChild<QAbstractItemView*>("listView");
        Q_EMIT list->activated(files->index(QString::fromStdString((docs / "Plans.txt").string())));
    });
    EXPECT_EQ(QCoro::waitFor(ItemChooser::choose("Choose files or folders to lock.", "Lock",
                                                 ItemChoice::filesAndFolders, where)),
              std::vector<fs::path>{docs / "Plans.txt"});

    whenModal([&](QWidget& dialog) {
        // Going into a typed folder selects that folder in the one left behind.
        auto* typed = dialog.findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(typed, nullptr);
        QApplication::setActiveWindow(&dialog);
        typed->setFocus();
        typed->setText("Folder");
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(typed, &enter);
        QCoreApplication::processEvents();  // the button follows
        const QPushButton* lock = buttonOf(dialog, "Lock");
        EXPECT_TRUE(lock != nullptr && !lock->isEnabled());  // nothing chosen yet
        selectIn(dialog, docs / "Folder", {"inner.txt"});
        press(dialog, "Lock");
    });
    EXPECT_EQ(QCoro::waitFor(ItemChooser::choose("Choose files or folders to lock.", "Lock",
                                                 ItemChoice::filesAndFolders, where)),
              std::vector<fs::path>{docs / "Folder/inner.txt"});
}

TEST_F(PromptPanelTest, TheProgressPanelIsOneWindowWhoseCancelDoesWhatWasLastSet) {
    ProgressPanel panel;
    int first = 0;
    int second = 0;
    panel.show("Locking Taxes…", [&] { ++first; });
    QWidget* shown = panel.window();
    panel.show("Locking Photos…", [&] { ++second; });
    ASSERT_EQ(panel.window(), shown);  // reused
    ASSERT_NE(shown, nullptr);
    QWidget& window = *shown;
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    const auto* message = window.findChild<QLabel*>("message");
    EXPECT_TRUE(message != nullptr && message->text() == "Locking Photos…");
    press(window, "Cancel");
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);

    panel.show("Finishing…");  // no cancel action: the button does nothing
    const QPushButton* cancel = buttonOf(window, "Cancel");
    EXPECT_TRUE(cancel != nullptr && !cancel->isEnabled());
    panel.state().cancel();
    EXPECT_EQ(second, 1);
    panel.hide();
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace tessela
