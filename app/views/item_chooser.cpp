#include "views/item_chooser.h"

#include <sys/stat.h>

#include <QAbstractItemView>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>

namespace tessela {

namespace {

namespace fs = std::filesystem;

bool isThere(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// A path as the dialog names it, as the file system does. The dialog lists only names it can
// show as text (UTF-8), so every name it gives encodes back to the bytes on disk.
fs::path onDisk(const QString& shown) {
    return fs::path(QFile::encodeName(shown).toStdString());
}

}  // namespace

std::vector<fs::path> ItemChooser::choose(const QString& message, const QString& acceptLabel,
                                          Kind kind, const QString& folder, QWidget* parent) {
    // Qt's own dialog: the desktop's dialogs choose files or folders, never both at once.
    QFileDialog dialog(parent, message, folder);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(kind == Kind::filesAndFolders ? QFileDialog::ExistingFiles
                                                     : QFileDialog::ExistingFile);
    if (kind == Kind::lockedItem) {
        dialog.setNameFilter(QStringLiteral("Locked items (*.tessvault)"));
    }
    dialog.setLabelText(QFileDialog::Accept, acceptLabel);
    dialog.resize(760, 500);
    auto* list = dialog.findChild<QAbstractItemView*>(QStringLiteral("listView"));
    auto* box = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    auto* files = dialog.findChild<QFileSystemModel*>();
    if (list == nullptr || box == nullptr || files == nullptr) {
        return {};  // not the dialog this was written for: choose nothing rather than guess
    }
    QPushButton* accept = box->button(QDialogButtonBox::Open);
    for (auto* view : dialog.findChildren<QAbstractItemView*>()) {
        view->setSelectionMode(kind == Kind::filesAndFolders ? QAbstractItemView::ExtendedSelection
                                                             : QAbstractItemView::SingleSelection);
    }

    // What is selected in the list (folders included), else what was typed.
    const auto selected = [&] {
        std::vector<fs::path> paths;
        for (const QModelIndex& index : list->selectionModel()->selectedRows()) {
            paths.push_back(onDisk(files->filePath(index)));
        }
        if (paths.empty()) {
            for (const QString& typed : dialog.selectedFiles()) {
                paths.push_back(onDisk(typed));
            }
        }
        if (kind == Kind::lockedItem) {
            std::erase_if(paths, [](const fs::path& path) {
                return path.extension() != ".tessvault" || !isThere(path);
            });
        }
        return paths;
    };
    // The dialog relabels its button "Open" for a folder and disables it for some selections:
    // here a folder is chosen like a file, so the button keeps its label and goes with the
    // selection.
    const auto relabel = [&] {
        if (accept != nullptr) {
            accept->setText(acceptLabel);
            accept->setEnabled(!selected().empty());
        }
    };
    QObject::connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, &dialog,
                     relabel, Qt::QueuedConnection);
    QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog, relabel,
                     Qt::QueuedConnection);
    if (auto* typed = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        QObject::connect(typed, &QLineEdit::textChanged, &dialog, relabel, Qt::QueuedConnection);
    }

    std::vector<fs::path> chosen;
    QObject::disconnect(box, &QDialogButtonBox::accepted, &dialog, nullptr);
    QObject::connect(box, &QDialogButtonBox::accepted, &dialog, [&] {
        chosen = selected();
        if (!chosen.empty()) {
            static_cast<QDialog&>(dialog).done(
                QDialog::Accepted);  // not its own accept(): that goes into folders
        }
    });
    if (dialog.exec() != QDialog::Accepted) {
        return {};
    }
    return chosen;
}

}  // namespace tessela
