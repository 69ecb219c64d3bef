#include "views/prompt_panel.h"

#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <vector>

namespace tessela {

int PromptPanel::choose(const QString& title, const QString& message, const QStringList& buttons,
                        QWidget* parent, int defaultButton) {
    QMessageBox alert(parent);
    alert.setWindowTitle(QStringLiteral("Tessela"));
    alert.setTextFormat(Qt::PlainText);
    alert.setText(title);
    alert.setInformativeText(message);
    // One role for all keeps the buttons in the caller's order on every desktop style.
    std::vector<QPushButton*> added;
    for (const QString& label : buttons) {
        added.push_back(alert.addButton(label, QMessageBox::ActionRole));
        if (label == QStringLiteral("Cancel")) {
            alert.setEscapeButton(added.back());
        }
    }
    if (defaultButton >= 0 && static_cast<std::size_t>(defaultButton) < added.size()) {
        alert.setDefaultButton(added[static_cast<std::size_t>(defaultButton)]);
    }
    QApplication::setActiveWindow(&alert);
    alert.exec();
    for (std::size_t index = 0; index < added.size(); ++index) {
        if (alert.clickedButton() == added[index]) {
            return static_cast<int>(index);
        }
    }
    // Closed another way (Escape without a "Cancel", the window's close): the last button.
    return added.empty() ? 0 : static_cast<int>(added.size()) - 1;
}

std::optional<QString> PromptPanel::password(const QString& title, const QString& message,
                                             QWidget* parent) {
    QDialog prompt(parent);
    prompt.setWindowTitle(QStringLiteral("Tessela"));
    auto* heading = new QLabel(title);
    heading->setTextFormat(Qt::PlainText);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    heading->setWordWrap(true);
    auto* text = new QLabel(message);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    auto* field = new QLineEdit;
    field->setEchoMode(QLineEdit::Password);
    field->setFixedWidth(260);
    // "OK" then "Cancel", in that order on every desktop style; Return is "OK", Escape is
    // "Cancel" (the dialog's own reject).
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
    layout->addWidget(text);
    layout->addWidget(field);
    layout->addLayout(buttons);
    field->setFocus();
    QApplication::setActiveWindow(&prompt);
    if (prompt.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return field->text();
}

}  // namespace tessela
