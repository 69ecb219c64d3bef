#include "text/file_name_order.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <string_view>

#include "text/utf8.h"

namespace tessela {

std::vector<std::size_t> fileManagerOrder(const std::vector<std::string>& names) {
    std::vector<std::size_t> order(names.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
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
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return names[a] < names[b]; });
        return order;
    }
    ucol_setAttribute(collator.get(), UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
    // Secondary strength: letters and accents decide, case alone makes names equal.
    ucol_setStrength(collator.get(), UCOL_SECONDARY);
    std::vector<std::string> shown;
    shown.reserve(names.size());
    for (const std::string& name : names) {
        shown.push_back(repairUtf8(name));
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        UErrorCode compared = U_ZERO_ERROR;
        return ucol_strcollUTF8(collator.get(), shown[a].data(),
                                static_cast<int32_t>(shown[a].size()), shown[b].data(),
                                static_cast<int32_t>(shown[b].size()), &compared) == UCOL_LESS;
    });
    return order;
}

void sortLikeFileManager(std::vector<std::string>& names) {
    std::vector<std::string> sorted;
    sorted.reserve(names.size());
    for (const std::size_t index : fileManagerOrder(names)) {
        sorted.push_back(std::move(names[index]));
    }
    names = std::move(sorted);
}

}  // namespace tessela
