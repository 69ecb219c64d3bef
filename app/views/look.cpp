#include "views/look.h"

#include <QPushButton>

namespace tessela {

bool Look::isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightnessF() < 0.5;
}

QColor Look::secondary(const QPalette& palette) {
    const QColor text = palette.color(QPalette::WindowText);
    const QColor window = palette.color(QPalette::Window);
    const auto mix = [](int a, int b) { return (a * 55 + b * 45) / 100; };
    return {mix(text.red(), window.red()), mix(text.green(), window.green()),
            mix(text.blue(), window.blue())};
}

QColor Look::accentText(const QPalette& palette) {
    if (!isDark(palette)) {
        return accent;
    }
    const auto lift = [](int value) { return value + (255 - value) * 45 / 100; };
    return {lift(accent.red()), lift(accent.green()), lift(accent.blue())};
}

QString Look::css(const QColor& colour) {
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(colour.red())
        .arg(colour.green())
        .arg(colour.blue())
        .arg(colour.alphaF(), 0, 'f', 2);
}

void Look::makeLink(QPushButton& button) {
    button.setCursor(Qt::PointingHandCursor);
    // The keyboard's focus shows as an underline and a frame.
    const QString colour = css(accentText(button.palette()));
    button.setStyleSheet(QStringLiteral("QPushButton { color: %1; border: 1px solid transparent; "
                                        "border-radius: 4px; padding: 2px 5px; background: none; }"
                                        "QPushButton:focus { border-color: %1; "
                                        "text-decoration: underline; }"
                                        "QPushButton:pressed { color: %2; }")
                             .arg(colour, css(accent.darker(130))));
}

void Look::makeProminent(QPushButton& button) {
    button.setStyleSheet(
        QStringLiteral("QPushButton { color: white; background: %1; border: 1px solid %2; "
                       "border-radius: 5px; padding: 5px 14px; }"
                       "QPushButton:hover { background: %3; }"
                       "QPushButton:pressed { background: %2; }"
                       "QPushButton:focus { border: 2px solid %4; padding: 4px 13px; }")
            .arg(css(accent), css(accent.darker(125)), css(accent.lighter(112)),
                 css(accent.darker(170))));
}

}  // namespace tessela
