#pragma once

#include <qcoro/qcorotask.h>
#include <QString>

#include <filesystem>
#include <vector>

#include "model/questions.h"

class QWidget;

namespace tessela {

// The open panel: a file dialog that picks several files and folders together (what to lock) or
// one locked item (where a missing item is now). Folders are chosen like files; double-clicking
// one goes into it.
struct ItemChooser {
    // The chosen paths; empty when the user cancelled. `message` titles the dialog and
    // `acceptLabel` names its button. Shown without a nested event loop and awaited. Qt's
    // dialog lists no name that is not UTF-8: such items are locked from the file manager's
    // menu or the command line.
    static QCoro::Task<std::vector<std::filesystem::path>> choose(QString message,
                                                                  QString acceptLabel,
                                                                  ItemChoice kind, QString folder,
                                                                  QWidget* parent = nullptr);
};

}  // namespace tessela
