#include "finder_popup.h"

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMessageBox>

#include <cstdlib>

#include "engine/hidden_extensions.h"
#include "finder_helper.h"

namespace tessela::finder {

FinderPopup::FinderPopup(std::vector<std::filesystem::path> selection, Deliver deliver)
    : selection_(std::move(selection)), deliver_(std::move(deliver)) {
    const QIcon lock =
        QIcon::fromTheme(HiddenExtensions::lockedIconName, QIcon::fromTheme("changes-prevent"));
    const std::vector<FinderMenuEntry> entries = FinderMenuModel::currentEntries(selection_);
    for (std::size_t index = 0; index < entries.size(); ++index) {
        QAction* action = addAction(lock, QString::fromStdString(entries[index].title));
        const TesselaCommand::Case kind = entries[index].command.kind();
        connect(action, &QAction::triggered, this, [this, kind] { choose(kind); });
    }
}

void FinderPopup::choose(TesselaCommand::Case kind) {
    // The entries are recomputed: an item may have been opened or locked while the menu was up.
    // The chosen kind is looked for, so a changed list never turns a click into another
    // command; a kind no longer offered does nothing.
    for (const FinderMenuEntry& entry : FinderMenuModel::currentEntries(selection_)) {
        if (entry.command.kind() != kind) {
            continue;
        }
        if (const std::optional<std::string> failure = deliver_(entry.command.lineURLs())) {
            QMessageBox::warning(nullptr, QStringLiteral("Tessela"),
                                 QString::fromStdString(*failure));
        }
        return;
    }
}

void showError(int argc, char** argv, const std::string& sentence) {
    const bool display = std::getenv("DISPLAY") != nullptr ||
                         std::getenv("WAYLAND_DISPLAY") != nullptr ||
                         std::getenv("QT_QPA_PLATFORM") != nullptr;
    if (!display) {
        return;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessela"));
    QMessageBox::warning(nullptr, QStringLiteral("Tessela"), QString::fromStdString(sentence));
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
