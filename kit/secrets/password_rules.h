#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessela {

// Whether a new password may be used and how strong it looks. Characters are counted as the
// user sees them (extended grapheme clusters): "é" typed as e plus a combining accent is one
// character, and so is a family emoji.
class PasswordRules {
  public:
    static constexpr int minimumLength = 8;

    enum class Strength { weak = 0, fair = 1, strong = 2 };

    // None when the password may be used, else the message to show.
    [[nodiscard]] static std::optional<std::string> problem(std::string_view password);

    // 14 or more characters are strong; 10 to 13 need three of the four classes (lower-case,
    // upper-case, numbers, others) to be strong and two to be fair; 8 or 9 with two classes are
    // fair; everything else is weak.
    [[nodiscard]] static Strength strength(std::string_view password);

    // Why a password change must wait for items still being moved to the current password.
    [[nodiscard]] static std::string stillMigratingMessage(const std::vector<std::string>& names);

    // The number of user-perceived characters in UTF-8 text (ill-formed bytes count as U+FFFD).
    [[nodiscard]] static int characterCount(std::string_view text);
};

// The strength with that integer value, or none.
[[nodiscard]] std::optional<PasswordRules::Strength> strengthFromRawValue(int value);

}  // namespace tessela
