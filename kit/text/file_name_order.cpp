#include "text/file_name_order.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "text/utf8.h"

namespace tessela {

void sortLikeFileManager(std::vector<std::string>& names) {
    UErrorCode status = U_ZERO_ERROR;
    // The default locale follows LANG and LC_* as the desktop does. The C locale (ICU's
    // "en_US_POSIX") orders by code point, every capital before every small letter; a file
    // manager there still lists by the common order.
    std::string_view locale = uloc_getDefault();
    if (locale.ends_with("_POSIX") || locale == "c") {
        locale = "";
    }
    const std::unique_ptr<UCollator, decltype(&ucol_close)> collator(
        ucol_open(std::string(locale).c_str(), &status), &ucol_close);
    if (U_FAILURE(status) || !collator) {
        std::stable_sort(names.begin(), names.end());
        return;
    }
    ucol_setAttribute(collator.get(), UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
    // Secondary strength: letters and accents decide, case alone makes names equal.
    ucol_setStrength(collator.get(), UCOL_SECONDARY);
    std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        const std::string left = repairUtf8(a);
        const std::string right = repairUtf8(b);
        UErrorCode compared = U_ZERO_ERROR;
        return ucol_strcollUTF8(collator.get(), left.data(), static_cast<int32_t>(left.size()),
                                right.data(), static_cast<int32_t>(right.size()),
                                &compared) == UCOL_LESS;
    });
}

}  // namespace tessela
