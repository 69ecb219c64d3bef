#include "posix/system_error.h"

#include <cerrno>
#include <string>

namespace tessela {

std::system_error systemError(int error, std::string_view operation,
                              const std::filesystem::path& path) {
    std::string what(operation);
    what += " ";
    what += path.string();
    return std::system_error(error, std::generic_category(), what);
}

void throwLastError(std::string_view operation, const std::filesystem::path& path) {
    throw systemError(errno, operation, path);
}

}  // namespace tessela
