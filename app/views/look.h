#pragma once

#include <QColor>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QString>

namespace tessela {

namespace Look {

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
// The window's prominent button: filled with the accent colour.
void makeProminent(QPushButton& button);

}  // namespace Look

// A button that looks like a link: its text in the accent colour, no frame; the keyboard's
// focus shows as an underline and a thin frame. Return presses it, as Space does. Drawn by
// itself, so that hundreds of them in a list cost little.
class LinkButton : public QPushButton {
    Q_OBJECT

  public:
    explicit LinkButton(const QString& text, QWidget* parent = nullptr);
    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// A small rounded label: its text in `ink` on `fill`.
class Capsule : public QLabel {
    Q_OBJECT

  public:
    explicit Capsule(QWidget* parent = nullptr);
    void setColours(const QColor& ink, const QColor& fill);
    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QColor ink_;
    QColor fill_;
};

}  // namespace tessela
