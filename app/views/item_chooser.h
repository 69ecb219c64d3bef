#pragma once

#include <QString>

#include <filesystem>
#include <vector>

class QWidget;

namespace tessela {

// The open panel: a file dialog that picks several files and folders together (what to lock) or
// one locked item (where a missing item is now). Folders are chosen like files; double-clicking
// one goes into it.
struct ItemChooser {
    enum class Kind { filesAndFolders, lockedItem };

    // The chosen paths; empty when the user cancelled. `message` titles the dialog and
    // `acceptLabel` names its button. Qt's dialog lists no name that is not UTF-8: such items
    // are locked from the file manager's menu or the command line.
    [[nodiscard]] static std::vector<std::filesystem::path> choose(const QString& message,
                                                                   const QString& acceptLabel,
                                                                   Kind kind, const QString& folder,
                                                                   QWidget* parent = nullptr);
};

}  // namespace tessela
