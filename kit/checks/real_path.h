#pragma once

#include <filesystem>
#include <string>

namespace tessela {

// The path every policy comparison uses: "." and ".." removed, symbolic links resolved in the
// deepest existing ancestor, and a missing tail kept as written. Never fails.
[[nodiscard]] std::string realPath(const std::filesystem::path& location);

// `path` lies beneath `folder` (not equal to it): it begins with folder + "/".
[[nodiscard]] bool isBeneath(const std::string& path, const std::string& folder);
// Equal to `folder` or beneath it.
[[nodiscard]] bool isAtOrBeneath(const std::string& path, const std::string& folder);

}  // namespace tessela
