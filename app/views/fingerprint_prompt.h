#pragma once

#include <qcoro/qcorotask.h>
#include <QDialog>
#include <QString>

#include <memory>

#include "activity/cancel_token.h"

class QLabel;
class QPushButton;

namespace tessela {

class FingerprintCheck;
class Settings;

// Tessela's own small prompt while a fingerprint is verified: the caller's reason, a line
// asking for a finger, and the button "Use Tessela Password". The button, or closing the
// prompt, stops the verification, and the caller asks for the typed password instead.
class FingerprintPrompt : public QDialog {
    Q_OBJECT

  public:
    static constexpr const char* fallbackTitle = "Use Tessela Password";

    FingerprintPrompt(const QString& reason, std::shared_ptr<CancelToken> fallback,
                      QWidget* parent = nullptr);
    ~FingerprintPrompt() override;
    FingerprintPrompt(const FingerprintPrompt&) = delete;
    FingerprintPrompt& operator=(const FingerprintPrompt&) = delete;

    // Whether a fingerprint released the password. False at once, with nothing shown, when the
    // user turned the preference off; false without a prompt when no finger can be used;
    // otherwise the prompt is shown while `check` verifies on a thread of its own, and the
    // answer is true only for a match. The caller is suspended, never the event loop, and
    // resumed once. The verification holds `check` for as long as it runs, even past its caller.
    [[nodiscard]] static QCoro::Task<bool> authenticate(
        QString reason, const Settings& settings, std::shared_ptr<const FingerprintCheck> check,
        QWidget* parent = nullptr);

  private:
    std::shared_ptr<CancelToken> fallback_;
};

}  // namespace tessela
