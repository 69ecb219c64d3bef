#include "views/symbols.h"

#include <QPainter>
#include <QSvgRenderer>

#include <map>
#include <tuple>

namespace tessela {

namespace {

struct Drawing {
    const char* name;
    const char* resource;     // Tessela's own drawing
    const char* themeName;    // the icon theme's name for it, if any
    bool oneColour;
};

Drawing drawingOf(Symbol symbol) {
    switch (symbol) {
        case Symbol::lockFill:
            return {"lock.fill", ":/symbols/lock.fill.svg", "changes-prevent-symbolic", true};
        case Symbol::lockOpenFill:
            return {"lock.open.fill", ":/symbols/lock.open.fill.svg", "changes-allow-symbolic",
                    true};
        case Symbol::questionmarkFolder:
            return {"questionmark.folder", ":/symbols/questionmark.folder.svg", nullptr, true};
        case Symbol::ellipsisCircle:
            return {"ellipsis.circle", ":/symbols/ellipsis.circle.svg", "view-more-symbolic", true};
        case Symbol::gearshape:
            return {"gearshape", ":/symbols/gearshape.svg", "emblem-system-symbolic", true};
        case Symbol::checkmarkCircleFill:
            return {"checkmark.circle.fill", ":/symbols/checkmark.circle.fill.svg",
                    "emblem-ok-symbolic", true};
        case Symbol::cursorArrow:
            return {"cursorarrow", ":/symbols/cursorarrow.svg", nullptr, false};
        case Symbol::document:
            return {"doc.richtext", ":/symbols/document.svg", "application-pdf", false};
        case Symbol::trayLocked:
            return {"lock.fill", ":/symbols/tessela-tray-locked.svg", nullptr, false};
        case Symbol::trayUnlocked:
            return {"lock.open.fill", ":/symbols/tessela-tray-unlocked.svg", nullptr, false};
    }
    return {"", "", nullptr, false};
}

// Paints every drawn pixel of `pixmap` in `tint`, keeping its coverage.
void tintPixmap(QPixmap& pixmap, const QColor& tint) {
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), tint);
}

QPixmap bundledPixmap(const Drawing& drawing, int size, qreal pixelRatio) {
    const int device = qMax(1, qRound(size * pixelRatio));
    QPixmap pixmap(device, device);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QString::fromUtf8(drawing.resource));
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, device, device));
    painter.end();
    pixmap.setDevicePixelRatio(pixelRatio);
    return pixmap;
}

}  // namespace

QString Symbols::name(Symbol symbol) {
    return QString::fromUtf8(drawingOf(symbol).name);
}

QPixmap Symbols::pixmap(Symbol symbol, int size, qreal pixelRatio, const QColor& tint) {
    // Drawn once per look: a list of hundreds of rows asks for the same few. Kept as images,
    // which need no display and so may outlive the application object.
    static std::map<std::tuple<Symbol, int, qreal, QRgb>, QImage> drawn;
    const auto key = std::tuple(symbol, size, pixelRatio, tint.rgba());
    if (const auto found = drawn.find(key); found != drawn.end()) {
        return QPixmap::fromImage(found->second);
    }
    const Drawing drawing = drawingOf(symbol);
    QPixmap pixmap;
    if (drawing.themeName != nullptr) {
        const QIcon themed = QIcon::fromTheme(QString::fromUtf8(drawing.themeName));
        if (!themed.isNull()) {
            pixmap = themed.pixmap(QSize(size, size), pixelRatio);
        }
    }
    if (pixmap.isNull()) {
        pixmap = bundledPixmap(drawing, size, pixelRatio);
    }
    if (drawing.oneColour) {
        tintPixmap(pixmap, tint);
    }
    drawn.emplace(key, pixmap.toImage());
    return pixmap;
}

QIcon Symbols::icon(Symbol symbol, const QColor& tint) {
    QIcon icon;
    for (const int size : {16, 24, 32}) {
        for (const qreal ratio : {1.0, 2.0}) {
            icon.addPixmap(pixmap(symbol, size, ratio, tint));
        }
    }
    return icon;
}

QIcon Symbols::bundledIcon(Symbol symbol) {
    const Drawing drawing = drawingOf(symbol);
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        icon.addPixmap(bundledPixmap(drawing, size, 1.0));
    }
    return icon;
}

}  // namespace tessela
