#include "finder_popup.h"

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMessageBox>

#include "finder_helper.h"

namespace tessela::finder {

FinderPopup::FinderPopup(std::vector<std::filesystem::path> selection, Deliver deliver)
    : selection_(std::move(selection)), deliver_(std::move(deliver)) {
    const QIcon lock = QIcon::fromTheme("tessela-locked", QIcon::fromTheme("changes-prevent"));
    const std::vector<FinderMenuEntry> entries = FinderMenuModel::currentEntries(selection_);
    for (std::size_t index = 0; index < entries.size(); ++index) {
        QAction* action = addAction(lock, QString::fromStdString(entries[index].title));
        connect(action, &QAction::triggered, this, [this, index] { choose(index); });
    }
}

void FinderPopup::choose(std::size_t index) {
    // The entries are recomputed: an item may have been opened or locked while the menu was up.
    const std::vector<FinderMenuEntry> entries = FinderMenuModel::currentEntries(selection_);
    if (index >= entries.size()) {
        return;
    }
    if (const std::optional<std::string> failure = deliver_(entries[index].command.lineURLs())) {
        QMessageBox::warning(nullptr, QStringLiteral("Tessela"), QString::fromStdString(*failure));
    }
}

int showMenu(int argc, char** argv, std::vector<std::filesystem::path> selection) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessela"));
    FinderPopup popup(std::move(selection), [](const std::vector<std::string>& urls) {
        return openURLs(urls, applicationProgram());
    });
    if (popup.isEmpty()) {
        // Dolphin and Nemo show their entry for every selection; say why nothing follows.
        popup.addAction(QStringLiteral("Nothing to do for this selection"))->setEnabled(false);
    }
    popup.exec(QCursor::pos());
    return 0;
}

}  // namespace tessela::finder
