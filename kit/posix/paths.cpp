#include "posix/paths.h"

namespace tessela {

std::filesystem::path canonicalPath(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
    if (error) {
        resolved = path.lexically_normal();
    }
    // weakly_canonical keeps a trailing separator when the last part does not exist.
    std::string text = resolved.string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

}  // namespace tessela
