#include "views/widget_questions.h"

#include <QApplication>

#include "views/fingerprint_prompt.h"
#include "views/item_chooser.h"
#include "views/prompt_panel.h"

namespace tessela {

QCoro::Task<int> WidgetQuestions::choose(QString title, QString message, QStringList buttons,
                                         int defaultButton) {
    co_return co_await PromptPanel::choose(std::move(title), std::move(message), std::move(buttons),
                                           nullptr, defaultButton);
}

QCoro::Task<std::optional<QString>> WidgetQuestions::password(QString title, QString message) {
    co_return co_await PromptPanel::password(std::move(title), std::move(message));
}

QCoro::Task<std::vector<std::filesystem::path>> WidgetQuestions::chooseItems(QString message,
                                                                             QString acceptLabel,
                                                                             ItemChoice kind,
                                                                             QString folder) {
    co_return co_await ItemChooser::choose(std::move(message), std::move(acceptLabel), kind,
                                           std::move(folder));
}

QCoro::Task<bool> WidgetQuestions::fingerprint(QString reason, const Settings& settings,
                                               std::shared_ptr<const FingerprintCheck> check) {
    co_return co_await FingerprintPrompt::authenticate(std::move(reason), settings,
                                                       std::move(check));
}

void WidgetQuestions::beep() {
    QApplication::beep();
}

}  // namespace tessela
