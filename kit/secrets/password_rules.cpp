#include "secrets/password_rules.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

#include "errors/tessela_error.h"

namespace tessela {

namespace {

// The user-perceived characters of UTF-8 text, each as UTF-16 code units.
std::vector<icu::UnicodeString> characters(std::string_view text) {
    const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    std::vector<icu::UnicodeString> result;
    if (U_FAILURE(status) || !breaks) {
        // Without break data, fall back to code points.
        for (int32_t index = 0; index < unicode.length(); index = unicode.moveIndex32(index, 1)) {
            result.emplace_back(unicode.char32At(index));
        }
        return result;
    }
    breaks->setText(unicode);
    int32_t start = breaks->first();
    for (int32_t end = breaks->next(); end != icu::BreakIterator::DONE;
         start = end, end = breaks->next()) {
        result.push_back(unicode.tempSubStringBetween(start, end));
    }
    return result;
}

bool isSingleCodePoint(const icu::UnicodeString& character) {
    return character.countChar32() == 1;
}

bool isCased(const icu::UnicodeString& character) {
    if (isSingleCodePoint(character)) {
        return u_hasBinaryProperty(character.char32At(0), UCHAR_CASED) != 0;
    }
    icu::UnicodeString upper = character;
    icu::UnicodeString lower = character;
    return upper.toUpper(icu::Locale::getRoot()) != character ||
           lower.toLower(icu::Locale::getRoot()) != character;
}

// A single code point with the Lowercase property, or a cluster that lower-casing leaves
// unchanged and that has case at all.
bool isLowercase(const icu::UnicodeString& character) {
    if (isSingleCodePoint(character)) {
        return u_hasBinaryProperty(character.char32At(0), UCHAR_LOWERCASE) != 0;
    }
    icu::UnicodeString lower = character;
    return lower.toLower(icu::Locale::getRoot()) == character && isCased(character);
}

bool isUppercase(const icu::UnicodeString& character) {
    if (isSingleCodePoint(character)) {
        return u_hasBinaryProperty(character.char32At(0), UCHAR_UPPERCASE) != 0;
    }
    icu::UnicodeString upper = character;
    return upper.toUpper(icu::Locale::getRoot()) == character && isCased(character);
}

// Letters and numbers are judged by the character's first code point.
bool isLetter(const icu::UnicodeString& character) {
    return u_hasBinaryProperty(character.char32At(0), UCHAR_ALPHABETIC) != 0;
}

bool isNumber(const icu::UnicodeString& character) {
    return u_getIntPropertyValue(character.char32At(0), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

}  // namespace

int PasswordRules::characterCount(std::string_view text) {
    return static_cast<int>(characters(text).size());
}

std::optional<std::string> PasswordRules::problem(std::string_view password) {
    if (characterCount(password) > minimumLength - 1) {
        return std::nullopt;
    }
    return "Use at least " + std::to_string(minimumLength) + " characters.";
}

PasswordRules::Strength PasswordRules::strength(std::string_view password) {
    const std::vector<icu::UnicodeString> all = characters(password);
    bool lower = false;
    bool upper = false;
    bool number = false;
    bool other = false;
    for (const icu::UnicodeString& character : all) {
        lower = lower || isLowercase(character);
        upper = upper || isUppercase(character);
        const bool numeric = isNumber(character);
        number = number || numeric;
        other = other || (!isLetter(character) && !numeric);
    }
    const int classes = int{lower} + int{upper} + int{number} + int{other};
    const auto length = all.size();
    if (length >= 14) {
        return Strength::strong;
    }
    if (length < 10) {
        return length >= 8 && classes >= 2 ? Strength::fair : Strength::weak;
    }
    if (classes >= 3) {
        return Strength::strong;
    }
    return classes == 2 ? Strength::fair : Strength::weak;
}

std::string PasswordRules::stillMigratingMessage(const std::vector<std::string>& names) {
    static constexpr const char* advice =
        "Find or unlock them, or choose Forget in the list if they are gone, then try again. "
        "Forgetting is safe: Tessela keeps your earlier passwords, so a forgotten item still "
        "opens if it turns up.";
    if (names.empty()) {
        return std::string("Tessela is still moving some items to your current password. ") +
               advice;
    }
    std::vector<std::string> shown(names.begin(),
                                   names.begin() + std::min<std::ptrdiff_t>(3, std::ssize(names)));
    if (names.size() > 3) {
        shown.push_back(std::to_string(names.size() - 3) + " more");
    }
    return "Tessela is still moving these items to your current password: " +
           TesselaError::list(shown) + ". " + advice;
}

std::optional<PasswordRules::Strength> strengthFromRawValue(int value) {
    if (value < 0 || value > 2) {
        return std::nullopt;
    }
    return static_cast<PasswordRules::Strength>(value);
}

}  // namespace tessela
