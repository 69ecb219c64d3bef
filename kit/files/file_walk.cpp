#include "files/file_walk.h"

#include <fts.h>

#include <cerrno>
#include <memory>

#include "files/paths.h"
#include "text/utf8.h"

namespace tessela {

namespace {

struct FtsCloser {
    void operator()(FTS* traversal) const noexcept { ::fts_close(traversal); }
};

std::string lastComponent(const std::string& path) {
    const std::string trimmed = withoutTrailingSlashes(path);
    const auto slash = trimmed.rfind('/');
    return slash == std::string::npos || trimmed.size() == 1 ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace

std::string_view FileWalk::Entry::name() const {
    const std::string_view path(relativePath);
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

FileWalk::WalkError::WalkError(std::string path, int code)
    : path_(std::move(path)),
      code_(code),
      description_("Could not read " + repairUtf8(lastComponent(path_)) + ".") {}

void FileWalk::walk(const std::filesystem::path& root, const Visitor& visitor) {
    const std::string rootPath = withoutTrailingSlashes(root.string());
    char* paths[] = {const_cast<char*>(rootPath.c_str()), nullptr};
    errno = 0;
    const std::unique_ptr<FTS, FtsCloser> traversal(
        ::fts_open(paths, FTS_PHYSICAL | FTS_NOCHDIR, nullptr));
    if (!traversal) {
        throw WalkError(rootPath, errno);
    }
    // Relative paths start after the root and its "/" (after just the root when it is "/").
    const std::size_t prefixLength = rootPath == "/" ? 1 : rootPath.size() + 1;
    for (;;) {
        errno = 0;
        FTSENT* node = ::fts_read(traversal.get());
        if (node == nullptr) {
            if (errno != 0) {
                throw WalkError(rootPath, errno);
            }
            return;
        }
        const unsigned short kind = node->fts_info;
        if (kind == FTS_DP) {
            continue;
        }
        const bool failed = kind == FTS_ERR || kind == FTS_DNR || kind == FTS_NS;
        if (node->fts_level == FTS_ROOTLEVEL) {
            if (failed) {
                throw WalkError(rootPath, node->fts_errno);
            }
            continue;
        }
        Entry entry;
        const std::string_view fullPath(node->fts_path, node->fts_pathlen);
        // File names are bytes: kept exactly, so the path reaches the same entry again.
        entry.relativePath =
            std::string(fullPath.size() > prefixLength ? fullPath.substr(prefixLength) : "");
        if (kind != FTS_NS && kind != FTS_ERR && node->fts_statp != nullptr) {
            entry.info = *node->fts_statp;
        }
        entry.isDirectory = kind == FTS_D || kind == FTS_DNR || kind == FTS_DC;
        if (failed) {
            entry.problem = node->fts_errno;
        }
        if (visitor(entry) == Next::skipDescendants && kind == FTS_D) {
            ::fts_set(traversal.get(), node, FTS_SKIP);
        }
    }
}

std::vector<std::string> FileWalk::relativePaths(const std::filesystem::path& root) {
    std::vector<std::string> paths;
    walk(root, [&](const Entry& entry) {
        paths.push_back(entry.relativePath);
        return Next::descend;
    });
    return paths;
}

}  // namespace tessela
