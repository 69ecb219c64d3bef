#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

namespace tessela {

// The modal alerts and the password prompt. The wording is always the caller's.
struct PromptPanel {
    // An alert with `title` as its text, `message` below it, and one button per entry of
    // `buttons`, in that order; the first is the default (Return), and a "Cancel" button
    // answers Escape. Returns the index of the button pressed.
    // `defaultButton` picks another default where Return must not agree by accident.
    static int choose(const QString& title, const QString& message, const QStringList& buttons,
                      QWidget* parent = nullptr, int defaultButton = 0);
    // An alert with a secure password field that has the keyboard focus, and the buttons "OK"
    // (the default) and "Cancel". "OK" gives the text, even when empty; "Cancel" gives none.
    static std::optional<QString> password(const QString& title, const QString& message,
                                           QWidget* parent = nullptr);
};

}  // namespace tessela
