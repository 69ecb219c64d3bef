#include "views/item_chooser.h"

#include <sys/stat.h>

#include <qcoro/qcorosignal.h>
#include <QAbstractItemView>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTreeView>

#include "engine/locked_names.h"
#include "views/awaited_dialog.h"

namespace tessela {

namespace {

namespace fs = std::filesystem;

const QString lockedExtension = QString::fromUtf8(LockedNames::lockedExtension);

bool isThere(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// A path as the dialog names it, as the file system does. The dialog lists only names it can
// show as text (UTF-8), so every name it gives encodes back to the bytes on disk.
fs::path onDisk(const QString& shown) {
    return fs::path(QFile::encodeName(shown).toStdString());
}

// Qt's own dialog, where a folder is chosen like a file: the desktop's dialogs choose files or
// folders, never both at once. Double-clicking a folder, or typing its name and pressing Return,
// still goes into it.
class Chooser : public QFileDialog {
  public:
    Chooser(const QString& message, const QString& acceptLabel, ItemChoice kind,
            const QString& folder, QWidget* parent)
        : QFileDialog(parent, message, folder), kind_(kind), acceptLabel_(acceptLabel) {
        setOption(QFileDialog::DontUseNativeDialog);
        setFileMode(kind == ItemChoice::filesAndFolders ? QFileDialog::ExistingFiles
                                                        : QFileDialog::ExistingFile);
        if (kind == ItemChoice::lockedItem) {
            setNameFilter(QStringLiteral("Locked items (*.tessvault)"));
        }
        setLabelText(QFileDialog::Accept, acceptLabel);
        resize(760, 500);
        // Room for the places' names, and for every column of the detailed list.
        if (auto* splitter = findChild<QSplitter*>(QStringLiteral("splitter"))) {
            splitter->setSizes({170, 590});
        }
        if (auto* details = findChild<QTreeView*>(QStringLiteral("treeView"))) {
            details->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
            details->header()->setSectionResizeMode(0, QHeaderView::Stretch);
        }
        list_ = findChild<QAbstractItemView*>(QStringLiteral("listView"));
        files_ = findChild<QFileSystemModel*>();
        typed_ = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (auto* box = findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))) {
            button_ = box->button(QDialogButtonBox::Open);
        }
        for (auto* view : findChildren<QAbstractItemView*>()) {
            view->setSelectionMode(kind == ItemChoice::filesAndFolders
                                       ? QAbstractItemView::ExtendedSelection
                                       : QAbstractItemView::SingleSelection);
        }
        // The dialog relabels its button "Open" for a folder and disables it for some
        // selections: here the button keeps its label and goes with the selection. Queued, so
        // that this runs after the dialog's own update.
        const auto relabel = [this] {
            if (button_ != nullptr) {
                button_->setText(acceptLabel_);
                button_->setEnabled(!selected().empty());
            }
        };
        if (list_ != nullptr) {
            // The list and the detailed list share one selection. The dialog relabels the
            // button when the current entry moves, too (the keyboard moves it without selecting).
            connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this, relabel,
                    Qt::QueuedConnection);
            connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this, relabel,
                    Qt::QueuedConnection);
        }
        connect(this, &QFileDialog::directoryEntered, this, relabel, Qt::QueuedConnection);
        if (kind == ItemChoice::lockedItem) {
            // A locked item is a folder: going into one (double-clicking it) chooses it.
            connect(this, &QFileDialog::directoryEntered, this, [this](const QString& entered) {
                if (entered.endsWith(lockedExtension) && isVisible()) {
                    chosen_ = {onDisk(entered)};
                    QDialog::accept();
                }
            });
        }
        if (typed_ != nullptr) {
            connect(typed_, &QLineEdit::textChanged, this, relabel, Qt::QueuedConnection);
        }
    }

    // Whether this is the dialog this was written for (Qt's widget dialog with its list).
    [[nodiscard]] bool usable() const { return list_ != nullptr && files_ != nullptr; }
    [[nodiscard]] const std::vector<fs::path>& chosen() const noexcept { return chosen_; }

    // Every way of confirming comes here: the button, Return, double-clicking a file.
    void accept() override {
        if (typed_ != nullptr && typed_->hasFocus()) {
            const QStringList names = selectedFiles();
            if (names.size() == 1 && QFileInfo(names.front()).isDir() &&
                !(kind_ == ItemChoice::lockedItem && names.front().endsWith(lockedExtension))) {
                setDirectory(names.front());
                typed_->clear();
                // Clearing the name selects the folder gone into, in the folder behind.
                list_->selectionModel()->clear();
                return;
            }
        }
        chosen_ = selected();
        if (!chosen_.empty()) {
            QDialog::accept();  // not the file dialog's own: that goes into folders
        }
    }

  private:
    // What is selected in the list (folders included), else what was typed.
    [[nodiscard]] std::vector<fs::path> selected() const {
        std::vector<fs::path> paths;
        if (list_ != nullptr && files_ != nullptr) {
            // Only what the folder shown holds: the selection keeps entries of a folder left
            // behind (the one the dialog opened in), which are no longer in view. By their first
            // column: a row's cells are selected one by one, so a row is not always whole.
            const QModelIndex shownFolder = list_->rootIndex();
            for (const QModelIndex& index : list_->selectionModel()->selectedIndexes()) {
                if (index.column() == 0 && index.parent() == shownFolder) {
                    paths.push_back(onDisk(files_->filePath(index)));
                }
            }
        }
        // Else what was typed. Only then: the dialog's own answer is its selection first,
        // stale entries included, and going into a typed folder selects that folder in the one
        // behind, which would be chosen with nothing selected.
        if (paths.empty() && typed_ != nullptr && !typed_->text().isEmpty()) {
            for (const QString& typed : selectedFiles()) {
                paths.push_back(onDisk(typed));
            }
        }
        if (kind_ == ItemChoice::lockedItem) {
            std::erase_if(paths, [](const fs::path& path) {
                return path.extension() != LockedNames::lockedExtension || !isThere(path);
            });
        } else {
            std::erase_if(paths, [](const fs::path& path) { return !isThere(path); });
        }
        return paths;
    }

    ItemChoice kind_;
    QString acceptLabel_;
    QAbstractItemView* list_ = nullptr;
    QFileSystemModel* files_ = nullptr;
    QLineEdit* typed_ = nullptr;
    QPushButton* button_ = nullptr;
    std::vector<fs::path> chosen_;
};

}  // namespace

QCoro::Task<std::vector<fs::path>> ItemChooser::choose(QString message, QString acceptLabel,
                                                       ItemChoice kind, QString folder,
                                                       QWidget* parent) {
    const AwaitedDialog<Chooser> dialog(new Chooser(message, acceptLabel, kind, folder, parent));
    if (!dialog->usable()) {
        co_return {};  // not the dialog this was written for: choose nothing rather than guess
    }
    dialog.showModal();
    const int result = co_await qCoro(dialog.get(), &QDialog::finished);
    std::vector<fs::path> chosen;
    if (dialog.alive() && result == QDialog::Accepted) {
        chosen = dialog->chosen();
    }
    co_return chosen;
}

}  // namespace tessela
