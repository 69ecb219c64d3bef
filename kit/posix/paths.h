#pragma once

#include <filesystem>

namespace tessela {

// Symbolic links resolved in the existing part of `path`, the rest standardised (".", ".."
// and repeated separators removed, no trailing separator). Never fails.
[[nodiscard]] std::filesystem::path canonicalPath(const std::filesystem::path& path);

}  // namespace tessela
