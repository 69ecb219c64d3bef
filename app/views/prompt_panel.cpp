#include "views/prompt_panel.h"

#include <qcoro/qcorosignal.h>
#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include <vector>

#include "views/awaited_dialog.h"

namespace tessela {

namespace {

// Brings a prompt's window to the front and makes it the one that takes the keys. A request from
// the file manager arrives while the file manager is in front; the prompt must still get the
// keys the user types next.
void bringToFront(QWidget& window) {
    window.raise();
    window.activateWindow();
}

// An alert whose focus is on its default button whenever it shows. Left to itself a window
// manager gives the focus to whichever button comes first in the tab order, and a focused
// button is the one Return presses: "Force Lock" in "… is still in use".
class Alert : public QMessageBox {
  public:
    using QMessageBox::QMessageBox;

  protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        if (QPushButton* chosen = defaultButton()) {
            chosen->setFocus(Qt::ActiveWindowFocusReason);
        }
        bringToFront(*this);
    }
};

// The password prompt: its field has the focus whenever it shows, so the password the user types
// goes into it and Return sends it.
class PasswordPrompt : public QDialog {
  public:
    PasswordPrompt(QWidget* parent, QLineEdit& field) : QDialog(parent), field_(field) {}

  protected:
    void showEvent(QShowEvent* event) override {
        QDialog::showEvent(event);
        field_.setFocus(Qt::ActiveWindowFocusReason);
        bringToFront(*this);
    }

  private:
    QLineEdit& field_;
};

}  // namespace

QCoro::Task<int> PromptPanel::choose(QString title, QString message, QStringList buttons,
                                     QWidget* parent, int defaultButton) {
    const AwaitedDialog<Alert> alert(new Alert(parent));
    alert->setWindowTitle(QStringLiteral("Tessela"));
    alert->setTextFormat(Qt::PlainText);
    alert->setText(title);
    // No empty second label for a screen reader to announce.
    if (!message.isEmpty()) {
        alert->setInformativeText(message);
    }
    alert->setAccessibleName(title);
    alert->setAccessibleDescription(message);
    // One role for all keeps the buttons in the caller's order on every desktop style.
    std::vector<QPushButton*> added;
    for (const QString& label : buttons) {
        added.push_back(alert->addButton(label, QMessageBox::ActionRole));
        if (label == QStringLiteral("Cancel")) {
            alert->setEscapeButton(added.back());
        }
    }
    if (defaultButton >= 0 && static_cast<std::size_t>(defaultButton) < added.size()) {
        alert->setDefaultButton(added[static_cast<std::size_t>(defaultButton)]);
    }
    alert.showModal();
    co_await qCoro(alert.get(), &QDialog::finished);
    for (std::size_t index = 0; index < added.size(); ++index) {
        if (alert->clickedButton() == added[index]) {
            co_return static_cast<int>(index);
        }
    }
    // Closed another way (Escape without a "Cancel", the window's close): the last button.
    co_return added.empty() ? 0 : static_cast<int>(added.size()) - 1;
}

QCoro::Task<std::optional<QString>> PromptPanel::password(QString title, QString message,
                                                          QWidget* parent) {
    auto* field = new QLineEdit;
    const AwaitedDialog<PasswordPrompt> shown(new PasswordPrompt(parent, *field));
    PasswordPrompt& prompt = *shown;
    prompt.setWindowTitle(QStringLiteral("Tessela"));
    prompt.setAccessibleName(title);
    prompt.setAccessibleDescription(message);
    auto* heading = new QLabel(title);
    heading->setTextFormat(Qt::PlainText);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    heading->setWordWrap(true);
    field->setEchoMode(QLineEdit::Password);
    field->setFixedWidth(260);
    field->setAccessibleName(QStringLiteral("Password"));
    // "OK" then "Cancel", in that order on every desktop style; Return in the field is "OK",
    // Escape is "Cancel" (the dialog's own reject), and Return on a button the user moved to
    // presses that button.
    auto* ok = new QPushButton(QStringLiteral("OK"));
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, &prompt, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, &prompt, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(&prompt);
    layout->addWidget(heading);
    if (!message.isEmpty()) {
        auto* text = new QLabel(message);
        text->setTextFormat(Qt::PlainText);
        text->setWordWrap(true);
        layout->addWidget(text);
    }
    layout->addWidget(field);
    layout->addLayout(buttons);
    heading->setBuddy(field);
    shown.showModal();
    if (co_await qCoro(&prompt, &QDialog::finished) != QDialog::Accepted) {
        co_return std::nullopt;
    }
    co_return field->text();
}

}  // namespace tessela
