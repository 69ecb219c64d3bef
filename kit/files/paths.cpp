#include "files/paths.h"

#include <cstdlib>
#include <memory>
#include <optional>

namespace tessela {

namespace {

std::optional<std::string> resolve(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                               &std::free);
    if (!resolved) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

// The deepest existing ancestor of `path` (itself included) with its links resolved, and the
// missing tail appended, then standardised.
std::string resolvedInExistingPart(const std::filesystem::path& path) {
    std::filesystem::path existing = path;
    std::filesystem::path missingTail;
    for (;;) {
        if (std::optional<std::string> resolved = resolve(existing.string())) {
            const std::filesystem::path whole = std::filesystem::path(*resolved) / missingTail;
            return withoutTrailingSlashes(whole.lexically_normal().string());
        }
        const std::filesystem::path parent = existing.parent_path();
        if (parent.empty() || parent == existing) {
            return withoutTrailingSlashes(path.lexically_normal().string());  // nothing exists
        }
        if (existing.has_filename()) {
            missingTail = existing.filename() / missingTail;
        }
        existing = parent;
    }
}

}  // namespace

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::filesystem::path canonicalPath(const std::filesystem::path& path) {
    return resolvedInExistingPart(path);
}

std::string realPath(const std::filesystem::path& location) {
    return resolvedInExistingPart(location.lexically_normal());
}

bool isBeneath(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

bool isAtOrBeneath(const std::string& path, const std::string& folder) {
    return path == folder || isBeneath(path, folder);
}

std::optional<std::filesystem::path> runningProgram() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !path.is_absolute()) {
        return std::nullopt;
    }
    // Replaced on disk since it started (a package upgrade): the path still names the program,
    // now the new version of it, which is what this process's helpers and peers run.
    constexpr std::string_view replaced = " (deleted)";
    if (const std::string& text = path.native(); text.ends_with(replaced)) {
        path = text.substr(0, text.size() - replaced.size());
    }
    return path;
}

std::optional<std::filesystem::path> runtimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(runtime) / "tessela";
}

}  // namespace tessela
