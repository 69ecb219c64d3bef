#include "files/metadata_snapshot.h"

#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "files/file_type.h"
#include "files/file_walk.h"
#include "files/sha256.h"
#include "posix/system_error.h"

namespace tessela {

namespace {

EntryMetadata metadataOf(const std::filesystem::path& location) {
    struct stat info {};
    if (::lstat(location.c_str(), &info) != 0) {
        throwLastError("lstat", location);
    }
    return entryMetadata(info);
}

}  // namespace

EntryMetadata::Time fileTime(std::int64_t seconds, std::int64_t nanoseconds) {
    using Limits = std::numeric_limits<std::int64_t>;
    constexpr std::int64_t perSecond = 1'000'000'000;
    if (seconds >= Limits::max() / perSecond) {
        return EntryMetadata::Time::max();
    }
    if (seconds <= Limits::min() / perSecond) {
        return EntryMetadata::Time::min();
    }
    return EntryMetadata::Time(std::chrono::nanoseconds(seconds * perSecond + nanoseconds));
}

EntryMetadata::Time fileTime(const struct timespec& time) {
    return fileTime(time.tv_sec, time.tv_nsec);
}

EntryMetadata entryMetadata(const struct stat& info) {
    return {std::string(fileTypeName(info.st_mode)), info.st_size, fileTime(info.st_mtim),
            fileTime(info.st_ctim), info.st_ino};
}

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

bool sameButForRename(MetadataSnapshot first, MetadataSnapshot second) {
    first[""].changed.reset();
    second[""].changed.reset();
    return first == second;
}

std::optional<std::int64_t> newestChange(const MetadataSnapshot& snapshot) {
    std::optional<std::int64_t> newest;
    for (const auto& [path, metadata] : snapshot) {
        if (metadata.changed) {
            const std::int64_t nanoseconds = metadata.changed->time_since_epoch().count();
            newest = newest ? std::max(*newest, nanoseconds) : nanoseconds;
        }
    }
    return newest;
}

std::string metadataFingerprint(const MetadataSnapshot& snapshot) {
    Sha256 hash;
    const auto add = [&](std::string_view bytes) {
        if (!hash.add(bytes.data(), bytes.size())) {
            throw std::runtime_error("SHA-256 failed");
        }
    };
    const auto addNumber = [&](std::int64_t number) { add(std::to_string(number) + '\0'); };
    const auto addTime = [&](const std::optional<EntryMetadata::Time>& time) {
        addNumber(time ? time->time_since_epoch().count() : -1);
    };
    for (const auto& [path, metadata] : snapshot) {
        add(path);
        add(std::string_view("\0", 1));
        add(metadata.type);
        add(std::string_view("\0", 1));
        addNumber(metadata.size);
        addTime(metadata.modified);
        addTime(path.empty() ? std::nullopt : metadata.changed);  // moved by a rename
        addNumber(static_cast<std::int64_t>(metadata.inode));
    }
    std::optional<std::string> text = hash.hexDigest();
    if (!text) {
        throw std::runtime_error("SHA-256 failed");
    }
    return *text;
}

}  // namespace tessela
