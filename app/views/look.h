#pragma once

#include <QColor>
#include <QPalette>
#include <QString>

class QAbstractButton;
class QPushButton;

namespace tessela::Look {

// Tessela's accent colour.
inline const QColor accent{101, 71, 216};

// Whether `palette` is a dark look (light text on a dark window).
[[nodiscard]] bool isDark(const QPalette& palette);
// The secondary text colour: the text colour half way to the window's.
[[nodiscard]] QColor secondary(const QPalette& palette);
// The accent colour as text or a symbol on `palette`'s window: lifted in a dark look, where
// the accent itself would be too dim to read.
[[nodiscard]] QColor accentText(const QPalette& palette);
// "rgba(r, g, b, a)" for a style sheet.
[[nodiscard]] QString css(const QColor& colour);

// A button that looks like a link: no frame, the link colour, a pointing hand.
void makeLink(QPushButton& button);
// The window's prominent button: filled with the accent colour.
void makeProminent(QPushButton& button);

}  // namespace tessela::Look
