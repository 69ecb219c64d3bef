#include "checks/real_path.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

namespace tessela {

namespace {

std::string standardised(const std::filesystem::path& location) {
    std::string path = location.lexically_normal().string();
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::optional<std::string> resolve(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                               &std::free);
    if (!resolved) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

}  // namespace

std::string realPath(const std::filesystem::path& location) {
    const std::string path = standardised(location);
    if (std::optional<std::string> resolved = resolve(path)) {
        return *resolved;
    }
    std::vector<std::string> missingTail;
    std::string current = path;
    for (;;) {
        if (current == "/" || current.empty()) {
            return path;
        }
        const auto slash = current.rfind('/');
        missingTail.push_back(current.substr(slash + 1));
        current = slash == 0 ? "/" : current.substr(0, slash);
        if (slash == std::string::npos) {
            return path;  // relative and nothing of it exists
        }
        if (std::optional<std::string> resolved = resolve(current)) {
            std::string result = *resolved;
            for (auto part = missingTail.rbegin(); part != missingTail.rend(); ++part) {
                if (result.back() != '/') {
                    result += '/';
                }
                result += *part;
            }
            return result;
        }
    }
}

bool isBeneath(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

bool isAtOrBeneath(const std::string& path, const std::string& folder) {
    return path == folder || isBeneath(path, folder);
}

}  // namespace tessela
