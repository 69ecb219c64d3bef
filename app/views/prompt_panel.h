#pragma once

#include <qcoro/qcorotask.h>
#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

namespace tessela {

// The alerts and the password prompt. The wording is always the caller's. Each is shown
// without a nested event loop (modal over `parent`'s window, or over the whole application
// without one) and awaited: the caller is suspended until it is answered.
struct PromptPanel {
    // An alert with `title` as its text, `message` below it, and one button per entry of
    // `buttons`, in that order. Return presses `defaultButton` (the first unless said
    // otherwise), which has the focus when the alert opens; a "Cancel" button answers Escape.
    // Returns the index of the button pressed; closed another way, the last one.
    static QCoro::Task<int> choose(QString title, QString message, QStringList buttons,
                                   QWidget* parent = nullptr, int defaultButton = 0);
    // An alert with a secure password field that has the keyboard focus, and the buttons "OK"
    // (the default) and "Cancel". "OK" gives the text, even when empty; "Cancel" gives none.
    static QCoro::Task<std::optional<QString>> password(QString title, QString message,
                                                        QWidget* parent = nullptr);
};

}  // namespace tessela
