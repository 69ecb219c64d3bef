#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace tessela::testing {

// The button of `window` labelled `text`, or none.
inline QPushButton* buttonOf(QWidget& window, const QString& text) {
    for (QPushButton* candidate : window.findChildren<QPushButton*>()) {
        if (candidate->text() == text) {
            return candidate;
        }
    }
    return nullptr;
}

// Clicks the button of `window` labelled `text`.
inline void press(QWidget& window, const QString& text) {
    if (QPushButton* found = buttonOf(window, text)) {
        found->click();
    } else {
        ADD_FAILURE() << "no button " << text.toStdString();
    }
}

// Types `text` into the window's password field and presses "OK".
inline void typePassword(QWidget& prompt, const QString& text) {
    if (auto* field = prompt.findChild<QLineEdit*>()) {
        field->setText(text);
    }
    press(prompt, "OK");
}

// Answers the modal windows (alerts, prompts, dialogs) the code under test brings up, in order,
// with the answers given, and records what each said: an alert as "title | message", another
// window as its labels' texts. A window with no answer left is recorded as unexpected and
// closed, and so is a window still up 20 seconds after its answer: a test never hangs on one.
class ModalScript {
  public:
    using Answer = std::function<void(QWidget&)>;

    ModalScript() {
        QObject::connect(&timer_, &QTimer::timeout, [this] { look(); });
        timer_.start(10);
    }

    ModalScript& then(Answer answer) {
        answers_.push_back(std::move(answer));
        return *this;
    }
    // The windows answered so far, in order.
    std::vector<std::string> seen;
    // Windows that came up with no answer left.
    std::vector<std::string> unexpected;
    [[nodiscard]] std::size_t left() const noexcept { return answers_.size(); }

  private:
    static std::string said(QWidget& window) {
        if (auto* alert = qobject_cast<QMessageBox*>(&window)) {
            return (alert->text() + " | " + alert->informativeText()).toStdString();
        }
        QStringList texts;
        for (const QLabel* label : window.findChildren<QLabel*>()) {
            if (!label->text().isEmpty()) {
                texts << label->text();
            }
        }
        return texts.join(" | ").toStdString();
    }

    void look() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible()) {
            return;
        }
        if (modal == answered_) {
            if (since_.hasExpired(20'000)) {
                unexpected.push_back("still up after its answer: " + said(*modal));
                modal->close();
            }
            return;
        }
        answered_ = modal;
        since_.start();
        if (answers_.empty()) {
            unexpected.push_back(said(*modal));
            modal->close();
            return;
        }
        seen.push_back(said(*modal));
        const Answer answer = std::move(answers_.front());
        answers_.pop_front();
        answer(*modal);
    }

    std::deque<Answer> answers_;
    QPointer<QWidget> answered_;
    QElapsedTimer since_;
    QTimer timer_;
};

}  // namespace tessela::testing
