#pragma once

#include "model/questions.h"
#include "views/progress_panel.h"

namespace tessela {

// The model's questions answered by Qt's windows: alerts and the password prompt
// (PromptPanel), the open panel (ItemChooser), the fingerprint prompt and the floating progress
// panel. Main thread only.
class WidgetQuestions final : public Questions {
  public:
    QCoro::Task<int> choose(QString title, QString message, QStringList buttons,
                            int defaultButton) override;
    QCoro::Task<std::optional<QString>> password(QString title, QString message) override;
    QCoro::Task<std::vector<std::filesystem::path>> chooseItems(QString message,
                                                                QString acceptLabel,
                                                                ItemChoice kind,
                                                                QString folder) override;
    QCoro::Task<bool> fingerprint(QString reason, const Settings& settings,
                                  std::shared_ptr<const FingerprintCheck> check) override;
    [[nodiscard]] ProgressPanel& progress() override { return panel_; }
    void beep() override;

  private:
    ProgressPanel panel_;
};

}  // namespace tessela
