#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace tessela {

// Files of an item that live in a cloud service and are not on disk yet.
//
// Linux has no system-wide cloud file service: nothing marks files as ubiquitous and nothing
// leaves placeholders that a download replaces. So no file of an item is ever still in the
// cloud here, and a file named ".Name.icloud" is an ordinary file, locked like any other (the
// lock never waits for a download nothing can start). The name rule (`needsDownload`) keeps its
// full contract for a platform with such a service.
class CloudFiles {
  public:
    // The platform's downloading status of a cloud file.
    enum class DownloadingStatus { current, downloaded, notDownloaded };

    // A placeholder name (".", then at least one character, then ".icloud", longer than eight
    // characters) always needs a download; otherwise a ubiquitous file does unless its status is
    // `current`.
    [[nodiscard]] static bool needsDownload(std::string_view name, bool isUbiquitous,
                                            std::optional<DownloadingStatus> status);

    // The locations under `root` (the root included) still in the cloud, in walk order: always
    // none here (see above).
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
