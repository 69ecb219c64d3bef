#include "checks/metadata_snapshot.h"

#include <sys/stat.h>

#include "checks/file_type.h"
#include "checks/file_walk.h"
#include "posix/system_error.h"

namespace tessela {

namespace {

EntryMetadata metadataOf(const std::filesystem::path& location) {
    struct stat info {};
    if (::lstat(location.c_str(), &info) != 0) {
        throwLastError("lstat", location);
    }
    const auto timeOf = [](const struct timespec& time) {
        return EntryMetadata::Time(std::chrono::seconds(time.tv_sec) +
                                   std::chrono::nanoseconds(time.tv_nsec));
    };
    return {std::string(fileTypeName(info.st_mode)), info.st_size, timeOf(info.st_mtim),
            timeOf(info.st_ctim), info.st_ino};
}

}  // namespace

MetadataSnapshot metadataSnapshot(const std::filesystem::path& root) {
    MetadataSnapshot snapshot;
    const EntryMetadata rootMetadata = metadataOf(root);
    const bool isDirectory = rootMetadata.type == fileTypeName(S_IFDIR);
    snapshot.emplace("", rootMetadata);
    if (isDirectory) {
        FileWalk::walk(root, [&](const FileWalk::Entry& entry) {
            snapshot.emplace(entry.relativePath, metadataOf(root / entry.relativePath));
            return FileWalk::Next::descend;
        });
    }
    return snapshot;
}

}  // namespace tessela
