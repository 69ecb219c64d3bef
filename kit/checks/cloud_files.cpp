#include "checks/cloud_files.h"

#include <sys/stat.h>

#include "checks/file_walk.h"

namespace tessela {

namespace {

constexpr std::string_view placeholderSuffix = ".icloud";

// ".Name.icloud": a leading dot, at least one character, then ".icloud".
bool isPlaceholderName(std::string_view name) {
    return name.size() > placeholderSuffix.size() + 1 && name.starts_with('.') &&
           name.ends_with(placeholderSuffix);
}

}  // namespace

bool CloudFiles::needsDownload(std::string_view name, bool isUbiquitous,
                               std::optional<DownloadingStatus> status) {
    if (isPlaceholderName(name)) {
        return true;
    }
    if (!isUbiquitous || !status) {
        return false;
    }
    return *status != DownloadingStatus::current;
}

std::vector<std::filesystem::path> CloudFiles::notDownloaded(const std::filesystem::path& root) {
    struct stat info {};
    if (::lstat(root.c_str(), &info) != 0) {
        return {};
    }
    std::vector<std::filesystem::path> missing;
    // Without a cloud service every entry's is-ubiquitous value is false and its downloading
    // status absent, so only names decide.
    if (needsDownload(root.filename().string(), false, std::nullopt)) {
        missing.push_back(root);
    }
    if (S_ISDIR(info.st_mode)) {
        try {
            FileWalk::walk(root, [&](const FileWalk::Entry& entry) {
                if (needsDownload(entry.name(), false, std::nullopt)) {
                    missing.push_back(root / entry.relativePath);
                }
                return FileWalk::Next::descend;
            });
        } catch (const FileWalk::WalkError&) {
            // What was found so far stands.
        }
    }
    return missing;
}

void CloudFiles::requestDownload(const std::vector<std::filesystem::path>& locations) {
    // Without a cloud service there is nobody to ask for the download targets; the caller's
    // bounded wait then reports the files that are still missing.
    (void)locations;
}

std::filesystem::path CloudFiles::downloadTarget(const std::filesystem::path& location) {
    const std::string name = location.filename().string();
    if (!isPlaceholderName(name)) {
        return location;
    }
    return location.parent_path() / name.substr(1, name.size() - 1 - placeholderSuffix.size());
}

}  // namespace tessela
