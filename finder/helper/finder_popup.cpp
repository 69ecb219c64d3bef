#include "finder_popup.h"

#include <string>

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMessageBox>

#include <cstdlib>

#include "engine/locked_look.h"
#include "finder_helper.h"

namespace tessela::finder {

FinderPopup::FinderPopup(std::vector<std::filesystem::path> selection, Deliver deliver)
    : selection_(std::move(selection)), deliver_(std::move(deliver)) {
    const QIcon lock =
        QIcon::fromTheme(LockedLook::lockedIconName, QIcon::fromTheme("changes-prevent"));
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

// Qt's own arguments are never taken from the command line: every argument after the verb is a
// path or a URL, and one such as "-platformpluginpath DIR" must not make Qt load plugins from
// wherever it points. Qt is given the program's name alone.
class QtArguments {
  public:
    explicit QtArguments(char** argv)
        : program_(argv != nullptr && argv[0] != nullptr ? argv[0] : "") {}
    int& count() noexcept { return count_; }
    char** values() noexcept { return values_; }

  private:
    std::string program_;
    int count_ = 1;
    char* values_[2] = {program_.data(), nullptr};
};

void showError(int /*argc*/, char** argv, const std::string& sentence) {
    const bool display = std::getenv("DISPLAY") != nullptr ||
                         std::getenv("WAYLAND_DISPLAY") != nullptr ||
                         std::getenv("QT_QPA_PLATFORM") != nullptr;
    if (!display) {
        return;
    }
    QtArguments arguments(argv);
    QApplication application(arguments.count(), arguments.values());
    QApplication::setApplicationName(QStringLiteral("Tessela"));
    QMessageBox::warning(nullptr, QStringLiteral("Tessela"), QString::fromStdString(sentence));
}

int showMenu(int /*argc*/, char** argv, std::vector<std::filesystem::path> selection) {
    QtArguments arguments(argv);
    QApplication application(arguments.count(), arguments.values());
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
