#include "secrets/password_rules.h"

#include <gtest/gtest.h>

namespace tessela {
namespace {

using Strength = PasswordRules::Strength;

TEST(PasswordRulesTest, LengthCountsUserPerceivedCharacters) {
    EXPECT_EQ(PasswordRules::problem("abcdefg"), "Use at least 8 characters.");
    EXPECT_EQ(PasswordRules::problem(""), "Use at least 8 characters.");
    EXPECT_EQ(PasswordRules::problem("abcdefgh"), std::nullopt);
    EXPECT_EQ(PasswordRules::problem("        "), std::nullopt);
    // Eight emoji, one of them a family of four joined with zero-width joiners.
    const std::string eightEmoji =
        "\xF0\x9F\x94\x92\xF0\x9F\x94\x91\xF0\x9F\x98\x80\xF0\x9F\x8C\x8D\xF0\x9F\x8E\x89"
        "\xF0\x9F\x90\xB1\xF0\x9F\x8D\x95"
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D"
        "\xF0\x9F\x91\xA6";
    EXPECT_EQ(PasswordRules::characterCount(eightEmoji), 8);
    EXPECT_EQ(PasswordRules::problem(eightEmoji), std::nullopt);
    // Seven characters, one an e with a combining accent (two code points).
    EXPECT_EQ(PasswordRules::characterCount("cafe\xCC\x81xyz"), 7);
    EXPECT_TRUE(PasswordRules::problem("cafe\xCC\x81xyz").has_value());
}

TEST(PasswordRulesTest, StrengthFollowsLengthAndCharacterClasses) {
    const std::vector<std::pair<std::string, Strength>> cases = {
        {"abcdefg", Strength::weak},                           // 7 characters
        {"abcdefgh", Strength::weak},                          // 8, one class
        {"abcdefg1", Strength::fair},                          // 8, two classes
        {"abcdEFG1", Strength::fair},                          // 8, three classes
        {"abcdefghij", Strength::weak},                        // 10, one class
        {"abcdefghi!", Strength::fair},                        // 10, lower + other
        {"abcdEFGH1234", Strength::strong},                    // 12, three classes
        {"aaaaaaaaaaaaaa", Strength::strong},                  // 14, one class
        {"abcdefgh\xE4\xB8\xAD\xE6\x96\x87", Strength::weak},  // 10, CJK letters are no class
        {"abcdefg\xE2\x85\xA7", Strength::fair},               // a Roman numeral counts as a number
        {"ABCDEFG\xC3\x89", Strength::weak},                   // 8, all upper-case
        {"abcdefg\xC3\x89", Strength::fair},                   // lower + upper (É)
        {"abcdefg\xF0\x9F\x94\x92", Strength::fair},           // lower + other (emoji)
    };
    for (const auto& [password, expected] : cases) {
        EXPECT_EQ(PasswordRules::strength(password), expected) << password;
    }
    EXPECT_LT(Strength::weak, Strength::fair);
    EXPECT_LT(Strength::fair, Strength::strong);
    EXPECT_EQ(strengthFromRawValue(2), Strength::strong);
    EXPECT_EQ(strengthFromRawValue(3), std::nullopt);
    EXPECT_EQ(strengthFromRawValue(-1), std::nullopt);
}

TEST(PasswordRulesTest, StillMigratingMessageShowsAtMostThreeNames) {
    const std::string advice =
        "Find or unlock them, or choose Forget in the list if they are gone, then try again. "
        "Forgetting is safe: Tessela keeps your earlier passwords, so a forgotten item still "
        "opens if it turns up.";
    EXPECT_EQ(PasswordRules::stillMigratingMessage({}),
              "Tessela is still moving some items to your current password. " + advice);
    EXPECT_EQ(
        PasswordRules::stillMigratingMessage({"A", "B", "C"}),
        "Tessela is still moving these items to your current password: A, B and C. " + advice);
    EXPECT_EQ(PasswordRules::stillMigratingMessage({"A", "B", "C", "D", "E"}),
              "Tessela is still moving these items to your current password: A, B, C and 2 "
              "more. " +
                  advice);
}

}  // namespace
}  // namespace tessela
