#pragma once

#include <QWidget>

#include <string_view>

#include "secrets/password_rules.h"

class QLabel;

namespace tessela {

// How strong a new password looks: three capsules, as many coloured as the level (weak red,
// fair the accent colour, strong green), and a caption "Weak", "Fair" or "Strong"; all grey and
// no caption while the password is empty.
class StrengthMeter : public QWidget {
    Q_OBJECT

  public:
    explicit StrengthMeter(QWidget* parent = nullptr);
    // Shows the strength of `password` (which is never kept).
    void setPassword(std::string_view password);
    [[nodiscard]] QString caption() const;
    // How many capsules are coloured (0 while empty).
    [[nodiscard]] int level() const noexcept { return level_; }
    [[nodiscard]] QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int level_ = 0;
    PasswordRules::Strength strength_ = PasswordRules::Strength::weak;
    bool empty_ = true;
};

}  // namespace tessela
