#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>

#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "model/questions.h"

namespace tessela::testing {

// One question the model asked.
struct Question {
    enum class Kind { choose, password, chooseItems };
    Kind kind = Kind::choose;
    QString title;
    QString message;
    QStringList buttons;                              // choose
    int defaultButton = 0;                            // choose
    ItemChoice choice = ItemChoice::filesAndFolders;  // chooseItems
    QString folder;                                   // chooseItems

    // As the tests compare it: "title | message", or the title alone without a message.
    [[nodiscard]] std::string said() const {
        return (message.isEmpty() ? title : title + " | " + message).toStdString();
    }
};

// The user's reply to one question.
struct Reply {
    int button = -1;                            // choose: the index pressed
    std::optional<QString> typed;               // password: none for "Cancel"
    std::vector<std::filesystem::path> chosen;  // chooseItems: empty for "Cancel"
};

using Answer = std::function<Reply(const Question&)>;

// Ready answers, in the manner of a setNextAnswer.
namespace answer {

inline Answer press(QString label) {
    return [label](const Question& question) {
        const auto index = question.buttons.indexOf(label);
        EXPECT_GE(index, 0) << "no button " << label.toStdString() << " in " << question.said();
        return Reply{static_cast<int>(index), std::nullopt, {}};
    };
}

inline Answer type(QString text) {
    return [text](const Question& question) {
        EXPECT_EQ(question.kind, Question::Kind::password) << question.said();
        return Reply{-1, text, {}};
    };
}

// "Cancel" for a password prompt or the open panel; the "Cancel" button of an alert.
inline Answer cancel() {
    return [](const Question& question) {
        return Reply{static_cast<int>(question.buttons.indexOf("Cancel")), std::nullopt, {}};
    };
}

inline Answer pick(std::vector<std::filesystem::path> chosen) {
    return [chosen](const Question& question) {
        EXPECT_EQ(question.kind, Question::Kind::chooseItems) << question.said();
        return Reply{-1, std::nullopt, chosen};
    };
}

}  // namespace answer

// The progress display as a test sees it: what it shows, nothing on screen.
class ScriptedProgress final : public ProgressDisplay {
  public:
    void show(const QString& message, std::function<void()> onCancel) override {
        state_.setMessage(message);
        state_.setOnCancel(std::move(onCancel));
        shown_ = true;
    }
    void hide() override { shown_ = false; }
    void showLastWord(const QString& message) override {
        if (shown_) {
            state_.setMessage(message);
            state_.setOnCancel({});
            shown_ = false;  // gone at once: no test waits for it
        }
    }
    [[nodiscard]] bool isShown() const override { return shown_; }
    void setShown(bool shown) override { shown_ = shown; }
    [[nodiscard]] ProgressState& state() override { return state_; }

  private:
    ProgressState state_;
    bool shown_ = false;
};

// The model's questions answered from a script, in order, each recorded as it was asked. A
// question with no answer left is recorded as unexpected and answered as "Cancel" (the last
// button of an alert), so a test never hangs on one. No fingerprint is ever offered.
class ScriptedQuestions final : public Questions {
  public:
    ScriptedQuestions& then(Answer answer) {
        answers_.push_back(std::move(answer));
        return *this;
    }
    // The questions answered so far, in order, as "title | message".
    std::vector<std::string> seen;
    // Questions that came with no answer left.
    std::vector<std::string> unexpected;
    // What each question found on screen: whether the progress display was up.
    std::vector<bool> progressUp;
    [[nodiscard]] std::size_t left() const noexcept { return answers_.size(); }
    int beeps = 0;

    QCoro::Task<int> choose(QString title, QString message, QStringList buttons,
                            int defaultButton) override {
        const Reply reply = ask({Question::Kind::choose,
                                 title,
                                 message,
                                 buttons,
                                 defaultButton,
                                 ItemChoice::filesAndFolders,
                                 {}});
        co_return reply.button >= 0 ? reply.button : static_cast<int>(buttons.size()) - 1;
    }
    QCoro::Task<std::optional<QString>> password(QString title, QString message) override {
        co_return ask(
            {Question::Kind::password, title, message, {}, 0, ItemChoice::filesAndFolders, {}})
            .typed;
    }
    QCoro::Task<std::vector<std::filesystem::path>> chooseItems(QString message,
                                                                QString acceptLabel,
                                                                ItemChoice kind,
                                                                QString folder) override {
        co_return ask({Question::Kind::chooseItems, message, {}, {acceptLabel}, 0, kind, folder})
            .chosen;
    }
    QCoro::Task<bool> fingerprint(QString /*reason*/, const Settings& /*settings*/,
                                  std::shared_ptr<const FingerprintCheck> /*check*/) override {
        co_return false;
    }
    [[nodiscard]] ScriptedProgress& progress() override { return progress_; }
    void beep() override { ++beeps; }

  private:
    Reply ask(const Question& question) {
        progressUp.push_back(progress_.isShown());
        if (answers_.empty()) {
            unexpected.push_back(question.said());
            return {};
        }
        seen.push_back(question.said());
        const Answer answer = std::move(answers_.front());
        answers_.pop_front();
        return answer(question);
    }

    std::deque<Answer> answers_;
    ScriptedProgress progress_;
};

}  // namespace tessela::testing
