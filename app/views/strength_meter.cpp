#include "views/strength_meter.h"

#include <QPainter>

#include "views/look.h"

namespace tessela {

namespace {

constexpr int capsuleWidth = 34;
constexpr int capsuleHeight = 6;
constexpr int gap = 4;

QColor colourOf(PasswordRules::Strength strength) {
    switch (strength) {
        case PasswordRules::Strength::weak:
            return {0xd0, 0x31, 0x2d};
        case PasswordRules::Strength::fair: {
            QColor fair = Look::accent;
            fair.setAlphaF(0.6F);
            return fair;
        }
        case PasswordRules::Strength::strong:
            return {0x2e, 0x9e, 0x4f};
    }
    return Qt::gray;
}

}  // namespace

StrengthMeter::StrengthMeter(QWidget* parent) : QWidget(parent) {
    setAccessibleName(QStringLiteral("Password strength"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void StrengthMeter::setPassword(std::string_view password) {
    empty_ = password.empty();
    strength_ = PasswordRules::strength(password);
    level_ = empty_ ? 0 : static_cast<int>(strength_) + 1;
    setAccessibleDescription(caption());
    update();
}

QString StrengthMeter::caption() const {
    if (empty_) {
        return {};
    }
    switch (strength_) {
        case PasswordRules::Strength::weak:
            return QStringLiteral("Weak");
        case PasswordRules::Strength::fair:
            return QStringLiteral("Fair");
        case PasswordRules::Strength::strong:
            return QStringLiteral("Strong");
    }
    return {};
}

QSize StrengthMeter::sizeHint() const {
    return {3 * capsuleWidth + 2 * gap + 8 + fontMetrics().horizontalAdvance(QStringLiteral("Strong")),
            qMax(capsuleHeight, fontMetrics().height())};
}

void StrengthMeter::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QColor off = Look::secondary(palette());
    off.setAlphaF(0.2F);
    const double top = (height() - capsuleHeight) / 2.0;
    for (int index = 0; index < 3; ++index) {
        painter.setBrush(index < level_ ? colourOf(strength_) : off);
        painter.drawRoundedRect(QRectF(index * (capsuleWidth + gap), top, capsuleWidth, capsuleHeight),
                                capsuleHeight / 2.0, capsuleHeight / 2.0);
    }
    painter.setPen(Look::secondary(palette()));
    painter.drawText(QRect(3 * capsuleWidth + 2 * gap + 8, 0, width(), height()),
                     Qt::AlignLeft | Qt::AlignVCenter, caption());
}

}  // namespace tessela
