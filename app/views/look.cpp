#include "views/look.h"

#include <QPainter>
#include <QPainterPath>

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

LinkButton::LinkButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setCursor(Qt::PointingHandCursor);
    setAutoDefault(true);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize LinkButton::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    return {metrics.horizontalAdvance(text()) + 12, metrics.height() + 8};
}

void LinkButton::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor ink = isEnabled() ? Look::accentText(palette()) : Look::secondary(palette());
    if (isDown()) {
        ink = ink.darker(130);
    }
    QFont font = this->font();
    if (hasFocus()) {
        font.setUnderline(true);
        painter.setPen(QPen(ink, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    }
    painter.setFont(font);
    painter.setPen(ink);
    painter.drawText(rect(), Qt::AlignCenter, text());
}

Capsule::Capsule(QWidget* parent) : QLabel(parent) {
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    setFont(small);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Capsule::setColours(const QColor& ink, const QColor& fill) {
    ink_ = ink;
    fill_ = fill;
    update();
}

QSize Capsule::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    return {metrics.horizontalAdvance(text()) + 14, metrics.height() + 2};
}

void Capsule::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill_);
    const QRectF box(rect());
    painter.drawRoundedRect(box, box.height() / 2, box.height() / 2);
    painter.setPen(ink_);
    painter.drawText(rect(), Qt::AlignCenter, text());
}

}  // namespace tessela
