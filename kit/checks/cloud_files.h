#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace tessela {

// Files of an item that live in a cloud service and are not on disk yet.
//
// Linux desktops have no system-wide cloud file service that marks files as ubiquitous, so every
// item counts as not ubiquitous and only the placeholder-name rule applies: a file named
// ".Name.icloud" stands for "Name" still in the cloud (as left behind by a synchronised home
// folder). The functions keep their full contract so a platform with such a service can fill in
// the cloud values.
class CloudFiles {
  public:
    // The platform's downloading status of a cloud file.
    enum class DownloadingStatus { current, downloaded, notDownloaded };

    // A placeholder name (".", then at least one character, then ".icloud", longer than eight
    // characters) always needs a download; otherwise a ubiquitous file does unless its status is
    // `current`.
    [[nodiscard]] static bool needsDownload(std::string_view name, bool isUbiquitous,
                                            std::optional<DownloadingStatus> status);

    // The locations under `root` (the root included) still in the cloud, in walk order. A
    // failing walk ends the scan with what was found so far.
    [[nodiscard]] static std::vector<std::filesystem::path> notDownloaded(
        const std::filesystem::path& root);

    // Asks the system to download each location (for a placeholder, the file it stands for).
    // Never fails; without a cloud service there is nobody to ask.
    static void requestDownload(const std::vector<std::filesystem::path>& locations);

    // The file a placeholder stands for, or the location itself when it is no placeholder.
    [[nodiscard]] static std::filesystem::path downloadTarget(
        const std::filesystem::path& location);
};

}  // namespace tessela
