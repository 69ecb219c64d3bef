#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tessela {

// `path` without trailing separators ("/" stays "/").
[[nodiscard]] std::string withoutTrailingSlashes(std::string path);

// Symbolic links resolved in the existing part of `path` (before any ".." that follows them),
// the rest standardised (".", ".." and repeated separators removed, no trailing separator).
// Never fails.
[[nodiscard]] std::filesystem::path canonicalPath(const std::filesystem::path& path);

// The path every policy comparison uses: "." and ".." removed as written first, then symbolic
// links resolved in the deepest existing ancestor, and a missing tail kept as written. Never
// fails.
[[nodiscard]] std::string realPath(const std::filesystem::path& location);

// Tessela's folder in the per-user runtime folder, $XDG_RUNTIME_DIR/tessela, which the
// application and the file-manager integration share; none without an absolute
// XDG_RUNTIME_DIR.
[[nodiscard]] std::optional<std::filesystem::path> runtimeFolder();

// The file of this running program (/proc/self/exe); none when it cannot be read.
[[nodiscard]] std::optional<std::filesystem::path> runningProgram();

// `path` lies beneath `folder` (not equal to it): it begins with folder + "/".
[[nodiscard]] bool isBeneath(const std::string& path, const std::string& folder);
// Equal to `folder` or beneath it.
[[nodiscard]] bool isAtOrBeneath(const std::string& path, const std::string& folder);

}  // namespace tessela
