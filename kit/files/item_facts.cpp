#include "files/item_facts.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>

#include "files/file_walk.h"
#include "text/log.h"

namespace tessela {

namespace {

struct ObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};

template <class Measure>
std::int64_t treeSize(const std::filesystem::path& location, Measure measure) {
    struct stat info {};
    if (::lstat(location.c_str(), &info) != 0) {
        return 0;
    }
    if (S_ISREG(info.st_mode)) {
        return measure(info);
    }
    std::int64_t total = 0;
    try {
        FileWalk::walk(location, [&](const FileWalk::Entry& entry) {
            if (!entry.problem && S_ISREG(entry.info.st_mode)) {
                total += measure(entry.info);
            }
            return FileWalk::Next::descend;
        });
    } catch (const FileWalk::WalkError& error) {
        // Debug only: the path names a file inside the item, which the journal must not keep.
        logMessage(LogLevel::debug, {"Could not measure ", location, ": ", error.path(), ": ",
                                     std::strerror(error.code())});
        return 0;
    }
    return total;
}

}  // namespace

ItemFacts ItemFacts::inspect(const std::filesystem::path& location, bool measureSize) {
    struct stat info {};
    if (::lstat(location.c_str(), &info) != 0) {
        return {};
    }
    ItemFacts facts;
    facts.exists = true;
    facts.isSymlink = S_ISLNK(info.st_mode);
    facts.isVolumeRoot = volumeRoot(location).value_or(false);
    facts.isNetworkVolume = remoteVolume(location).value_or(false);
    facts.size = facts.isSymlink || !measureSize ? 0 : allocatedSize(location);
    return facts;
}

std::int64_t ItemFacts::allocatedSize(const std::filesystem::path& location) {
    return treeSize(location, [](const struct stat& info) {
        return static_cast<std::int64_t>(info.st_blocks) * 512;
    });
}

std::int64_t ItemFacts::logicalSize(const std::filesystem::path& location) {
    return treeSize(
        location, [](const struct stat& info) { return static_cast<std::int64_t>(info.st_size); });
}

std::optional<bool> ItemFacts::volumeRoot(const std::filesystem::path& location) {
    struct statx info {};
    if (::statx(AT_FDCWD, location.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &info) != 0) {
        return std::nullopt;
    }
    if ((info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
        return (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    }
    // Older kernels: a file system root sits on another device than its parent folder.
    struct statx parent {};
    if (::statx(AT_FDCWD, (location.string() + "/..").c_str(), 0, STATX_BASIC_STATS, &parent) !=
        0) {
        return std::nullopt;
    }
    return info.stx_dev_major != parent.stx_dev_major ||
           info.stx_dev_minor != parent.stx_dev_minor ||
           info.stx_ino == parent.stx_ino;  // "/" is its own parent
}

std::optional<bool> ItemFacts::remoteVolume(const std::filesystem::path& location) {
    const std::unique_ptr<GFile, ObjectUnref> file(g_file_new_for_path(location.c_str()));
    GError* error = nullptr;
    const std::unique_ptr<GFileInfo, ObjectUnref> info(g_file_query_filesystem_info(
        file.get(), G_FILE_ATTRIBUTE_FILESYSTEM_REMOTE, nullptr, &error));
    if (!info) {
        g_clear_error(&error);
        return std::nullopt;
    }
    if (!g_file_info_has_attribute(info.get(), G_FILE_ATTRIBUTE_FILESYSTEM_REMOTE)) {
        return std::nullopt;
    }
    return g_file_info_get_attribute_boolean(info.get(), G_FILE_ATTRIBUTE_FILESYSTEM_REMOTE) != 0;
}

}  // namespace tessela
