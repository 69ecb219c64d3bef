#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Small, durable file primitives on top of POSIX calls. Every call retries on EINTR, opens with
// O_CLOEXEC and throws std::system_error (errno plus path) on failure.

namespace tessela::posix {

// Reads a whole file. Returns none when nothing exists at `path` (ENOENT); every other failure
// is thrown.
[[nodiscard]] std::optional<std::string> readFileIfExists(const std::filesystem::path& path);

// Reads what is left in the open file `fd`, at most `limit` bytes.
[[nodiscard]] std::string readAll(int fd, std::size_t limit,
                                  const std::filesystem::path& pathForErrors);

// Writes every byte of `data` to `fd`, retrying short writes and EINTR.
void writeAll(int fd, std::string_view data, const std::filesystem::path& pathForErrors);

// Creates `directory` and any missing parents with `mode`; an existing directory is fine.
void createDirectories(const std::filesystem::path& directory, unsigned mode);

// Flushes an open file's data and status to stable storage.
void syncFile(int fd, const std::filesystem::path& pathForErrors);

// Flushes a directory's entries (after a rename or create inside it) to stable storage.
void syncDirectory(const std::filesystem::path& directory);

// Replaces `target` with `data` so that a crash at any moment leaves either the old or the new
// content, never a torn file: a temporary file in the same folder, fsync, rename over the target,
// fsync of the folder. The new file has mode `mode`. The parent folder must exist.
void replaceAtomically(const std::filesystem::path& target, std::string_view data, unsigned mode);

// Whether anything (a file, a folder, a symbolic link, even a dangling one) is at `path`.
[[nodiscard]] bool exists(const std::filesystem::path& path) noexcept;

}  // namespace tessela::posix
