#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace tessela {

// The small pictures the windows and the tray show. Each has a name of its own (the name the
// tests and the log use); a one-colour symbol is drawn in the colour it is given, so that it
// reads in a light and a dark look alike.
enum class Symbol {
    lockFill,            // a closed padlock
    lockOpenFill,        // an open padlock
    questionmarkFolder,  // an item that cannot be found
    ellipsisCircle,      // more actions
    gearshape,           // settings
    checkmarkCircleFill, // done, on
    cursorArrow,         // the mouse pointer (two colours, never tinted)
    document,            // a PDF document (in colour, never tinted)
    trayLocked,          // the tray's closed padlock (in colour)
    trayUnlocked,        // the tray's open padlock (in colour)
};

namespace Symbols {

// The symbol's own name: "lock.fill", "lock.open.fill", "questionmark.folder", …
[[nodiscard]] QString name(Symbol symbol);

// The symbol at `size` logical pixels for a screen of `pixelRatio`: the desktop icon theme's
// picture where the theme has one for it, else Tessela's own, drawn in `tint` when it is a
// one-colour symbol.
[[nodiscard]] QPixmap pixmap(Symbol symbol, int size, qreal pixelRatio, const QColor& tint);

// The symbol as an icon, drawn in `tint` at the usual sizes.
[[nodiscard]] QIcon icon(Symbol symbol, const QColor& tint);

// The symbol in Tessela's own drawing only (the tray, whose look is the application's).
[[nodiscard]] QIcon bundledIcon(Symbol symbol);

}  // namespace Symbols

}  // namespace tessela
