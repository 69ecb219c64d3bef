#pragma once

#include <string>

namespace tessela {

// One difference between an item and its copy, found by verification. `path` is relative to the
// compared roots and empty for the root item itself; `reason` is one of the six reasons below.
struct TreeMismatch {
    static constexpr const char* missingFromCopy = "missing from copy";
    static constexpr const char* extraInCopy = "extra in copy";
    static constexpr const char* sizeDiffers = "size differs";
    static constexpr const char* contentDiffers = "content differs";
    static constexpr const char* linkTargetDiffers = "link target differs";
    static constexpr const char* typeDiffers = "type differs";

    std::string path;
    std::string reason;

    // "path: reason", with "(item)" standing for the root item.
    [[nodiscard]] std::string description() const;

    friend bool operator==(const TreeMismatch&, const TreeMismatch&) = default;
};

}  // namespace tessela
