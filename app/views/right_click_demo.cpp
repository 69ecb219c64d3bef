#include "views/right_click_demo.h"

#include <gio/gio.h>

#include <QDir>
#include <QPainter>
#include <QPainterPath>
#include <QSettings>
#include <QSvgRenderer>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "views/look.h"
#include "views/symbols.h"

namespace tessela {

namespace {

double ease(double x) {
    const double clamped = std::clamp(x, 0.0, 1.0);
    return 3 * clamped * clamped - 2 * clamped * clamped * clamped;
}

// The press: rises from 0 to 1 over 0.8–0.9 s and falls back over 0.9–1.0 s.
double press(double time) {
    if (time < 0.8 || time > 1.0) {
        return 0;
    }
    return time <= 0.9 ? (time - 0.8) / 0.1 : (1.0 - time) / 0.1;
}

// Where things are, in the demonstration's coordinates.
const QRectF fileIcon(56, 58, 48, 48);
const QRectF fileLabel(20, 110, 120, 18);
const QRectF menuBox(90, 88, 160, 103);
constexpr double separatorTop = 65;

bool gnomeReducesMotion() {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (source == nullptr) {
        return false;
    }
    GSettingsSchema* schema =
        g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE);
    if (schema == nullptr) {
        return false;
    }
    const bool hasKey = g_settings_schema_has_key(schema, "enable-animations") != FALSE;
    g_settings_schema_unref(schema);
    if (!hasKey) {
        return false;
    }
    GSettings* settings = g_settings_new("org.gnome.desktop.interface");
    const bool animations = g_settings_get_boolean(settings, "enable-animations") != FALSE;
    g_object_unref(settings);
    return !animations;
}

bool kdeReducesMotion() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const QString folder = configHome != nullptr && *configHome != '\0'
                               ? QString::fromLocal8Bit(configHome)
                               : QDir::homePath() + QStringLiteral("/.config");
    const QSettings globals(folder + QStringLiteral("/kdeglobals"), QSettings::IniFormat);
    bool read = false;
    const double factor =
        globals.value(QStringLiteral("KDE/AnimationDurationFactor")).toDouble(&read);
    return read && factor <= 0;
}

}  // namespace

int RightClickDemo::Frame::highlightedRow() const {
    const double middle = highlightTop + rowHeight / 2;
    int nearest = 0;
    for (int row = 1; row < 3; ++row) {
        if (std::abs(rowTops[row] + rowHeight / 2 - middle) <
            std::abs(rowTops[nearest] + rowHeight / 2 - middle)) {
            nearest = row;
        }
    }
    return nearest;
}

RightClickDemo::RightClickDemo(QWidget* parent)
    : QWidget(parent), reduceMotion_(desktopReducesMotion()) {
    setAccessibleName(QStringLiteral("How to lock: right-click a file or folder in the file "
                                     "manager and choose Lock with Tessela."));
    timer_.setInterval(frameInterval);
    connect(&timer_, &QTimer::timeout, this, &RightClickDemo::tick);
}

RightClickDemo::Frame RightClickDemo::frameAt(double time) {
    Frame frame;
    const double move = ease(time / 0.8);
    frame.pointer = QPointF(24 + 58 * move, 178 - 78 * move);
    frame.pointerScale = 1 - 0.15 * press(time);
    frame.pointerOpacity = 1 - ease((time - 2.4) / 0.2);
    frame.selection = 0.18 * ease((time - 0.8) / 0.15);
    frame.change = ease((time - 2.4) / 0.3);
    const double fade = 1 - ease((time - 2.4) / 0.2);
    frame.menuOpacity = ease((time - 1.0) / 0.15) * fade;
    frame.highlightOpacity = ease((time - 1.5) / 0.15) * fade;
    frame.highlightTop = 13 + 61 * ease((time - 1.6) / 0.6);
    return frame;
}

bool RightClickDemo::desktopReducesMotion() {
    return gnomeReducesMotion() || kdeReducesMotion();
}

void RightClickDemo::setTime(double time) {
    time_ = std::fmod(std::max(time, 0.0), loopSeconds);
    startedAt_ = time_;
    clock_.restart();
    update();
}

void RightClickDemo::setFrozenPhase(std::optional<Phase> phase) {
    frozenPhase_ = phase;
    startOrStop();
    update();
}

void RightClickDemo::setReduceMotion(bool reduce) {
    reduceMotion_ = reduce;
    startOrStop();
    update();
}

double RightClickDemo::shownTime() const {
    return still() ? stillTime : time_;
}

bool RightClickDemo::still() const {
    return reduceMotion_ || frozenPhase_.has_value();
}

void RightClickDemo::startOrStop() {
    if (isVisible() && !still()) {
        if (!timer_.isActive()) {
            startedAt_ = time_;
            clock_.start();
            timer_.start();
        }
    } else {
        timer_.stop();
    }
}

void RightClickDemo::tick() {
    time_ = std::fmod(startedAt_ + static_cast<double>(clock_.elapsed()) / 1000.0, loopSeconds);
    update();
}

void RightClickDemo::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    startOrStop();
}

void RightClickDemo::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_.stop();
}

void RightClickDemo::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    // Centred, never stretched.
    const double scale = std::min(width() / static_cast<double>(frameSize.width()),
                                  height() / static_cast<double>(frameSize.height()));
    painter.translate((width() - frameSize.width() * scale) / 2,
                      (height() - frameSize.height() * scale) / 2);
    painter.scale(scale, scale);
    paintFrame(painter, shownTime());
}

void RightClickDemo::paintFrame(QPainter& painter, double time) const {
    const Frame frame = frameAt(time);
    const QPalette& look = palette();
    const QColor text = look.color(QPalette::Text);

    // The file manager's window.
    const QRectF window(QPointF(0, 0), QSizeF(frameSize));
    painter.setPen(QPen(Look::secondary(look), 0.6));
    painter.setBrush(look.color(QPalette::Base));
    painter.drawRoundedRect(window.adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);

    // The file, selected once it is clicked.
    if (frame.selection > 0) {
        QColor selection = Look::accent;
        selection.setAlphaF(static_cast<float>(frame.selection));
        painter.setPen(Qt::NoPen);
        painter.setBrush(selection);
        painter.drawRoundedRect(fileIcon.united(fileLabel).adjusted(-6, -6, 6, 6), 8, 8);
    }
    const qreal ratio = painter.device()->devicePixelRatioF();
    const auto drawFile = [&](Symbol symbol, const char* resource, const QString& label,
                              double opacity) {
        if (opacity <= 0) {
            return;
        }
        painter.setOpacity(opacity);
        if (resource != nullptr) {
            QSvgRenderer(QString::fromUtf8(resource)).render(&painter, fileIcon);
        } else {
            painter.drawPixmap(fileIcon,
                               Symbols::pixmap(symbol, static_cast<int>(fileIcon.width()), ratio,
                                               text),
                               QRectF());
        }
        painter.setPen(text);
        QFont font = painter.font();
        font.setPixelSize(11);
        painter.setFont(font);
        painter.drawText(fileLabel, Qt::AlignHCenter | Qt::AlignTop, label);
        painter.setOpacity(1);
    };
    drawFile(Symbol::document, nullptr, QStringLiteral("Taxes 2025.pdf"), 1 - frame.change);
    drawFile(Symbol::document, ":/icons/tessela-locked.svg",
             QStringLiteral("Taxes 2025.tessvault"), frame.change);

    // The context menu.
    if (frame.menuOpacity > 0) {
        painter.setOpacity(frame.menuOpacity);
        QColor shadow = Qt::black;
        shadow.setAlphaF(0.18F);
        painter.setPen(Qt::NoPen);
        painter.setBrush(shadow);
        painter.drawRoundedRect(menuBox.translated(0, 2).adjusted(-1, -1, 1, 1), 7, 7);
        painter.setPen(QPen(Look::secondary(look), 0.6));
        painter.setBrush(look.color(QPalette::Window));
        painter.drawRoundedRect(menuBox, 6, 6);
        if (frame.highlightOpacity > 0) {
            painter.setOpacity(frame.menuOpacity * frame.highlightOpacity);
            painter.setPen(Qt::NoPen);
            painter.setBrush(Look::accent);
            painter.drawRoundedRect(QRectF(menuBox.left() + 5, menuBox.top() + frame.highlightTop,
                                           menuBox.width() - 10, rowHeight),
                                    4, 4);
            painter.setOpacity(frame.menuOpacity);
        }
        const int highlighted = frame.highlightOpacity > 0.5 ? frame.highlightedRow() : -1;
        const QString rows[3] = {QStringLiteral("Open"), QStringLiteral("Properties"),
                                 QStringLiteral("Lock with Tessela")};
        QFont font = painter.font();
        font.setPixelSize(12);
        painter.setFont(font);
        for (int row = 0; row < 3; ++row) {
            const QRectF box(menuBox.left() + 14, menuBox.top() + rowTops[row],
                             menuBox.width() - 28, rowHeight);
            const QColor ink = row == highlighted ? QColor(Qt::white) : look.color(QPalette::WindowText);
            painter.setPen(ink);
            double textLeft = box.left();
            if (row == 2) {
                const QRectF symbolBox(box.left(), box.center().y() - 6.5, 13, 13);
                painter.drawPixmap(symbolBox, Symbols::pixmap(Symbol::lockFill, 13, ratio, ink),
                                   QRectF());
                textLeft += 19;
            }
            painter.drawText(QRectF(textLeft, box.top(), box.right() - textLeft, box.height()),
                             Qt::AlignLeft | Qt::AlignVCenter, rows[row]);
        }
        painter.setPen(QPen(Look::secondary(look), 0.6));
        painter.drawLine(QPointF(menuBox.left() + 8, menuBox.top() + separatorTop),
                         QPointF(menuBox.right() - 8, menuBox.top() + separatorTop));
        painter.setOpacity(1);
    }

    // The pointer, its tip where the frame says, smaller while it presses.
    if (frame.pointerOpacity > 0) {
        painter.setOpacity(frame.pointerOpacity);
        painter.save();
        painter.translate(frame.pointer);
        painter.scale(frame.pointerScale, frame.pointerScale);
        // The drawing's tip is at (3, 1.5) of 16: drawn 20 units large.
        QSvgRenderer(QStringLiteral(":/symbols/cursorarrow.svg"))
            .render(&painter, QRectF(-3.75, -1.9, 20, 20));
        painter.restore();
        painter.setOpacity(1);
    }
}

}  // namespace tessela
