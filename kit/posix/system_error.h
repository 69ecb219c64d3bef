#pragma once

#include <filesystem>
#include <string_view>
#include <system_error>

// Failures of the system calls made by our own code are reported as std::system_error in the
// generic (POSIX) category, carrying the error number and, in the message, the call and the path.

namespace tessela {

[[nodiscard]] std::system_error systemError(int error, std::string_view operation,
                                            const std::filesystem::path& path);

// Throws systemError(errno, operation, path).
[[noreturn]] void throwLastError(std::string_view operation, const std::filesystem::path& path);

}  // namespace tessela
