#include "checks/cloud_files.h"

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
    // No cloud file service runs here: nothing is ubiquitous, and nothing creates placeholders
    // that a download would replace. A file named ".Name.icloud" (copied from elsewhere) is an
    // ordinary file of the user's, locked like any other; waiting for a download that nothing
    // can start would only stall the lock.
    (void)root;
    return {};
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
