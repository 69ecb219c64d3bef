#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tessela::testing {

// A fresh private folder under the system's temporary folder, removed with everything in it when
// the object goes away, including when a test fails. Permissions inside are restored first so
// that folders a test made unreadable are removed too.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
    [[nodiscard]] std::filesystem::path operator/(const std::filesystem::path& relative) const {
        return path_ / relative;
    }

  private:
    std::filesystem::path path_;
};

// Writes `content` to `file`, creating missing parent folders.
void writeFile(const std::filesystem::path& file, std::string_view content);
// The whole content of `file`; fails the test (throws) when it cannot be read.
[[nodiscard]] std::string readFile(const std::filesystem::path& file);
// The permission bits of `path` (mode & 07777).
[[nodiscard]] unsigned permissions(const std::filesystem::path& path);
// The names in `folder`, sorted.
[[nodiscard]] std::vector<std::string> namesIn(const std::filesystem::path& folder);
// Whether this process runs as root, which reads and writes everything regardless of modes.
[[nodiscard]] bool runningAsRoot();

}  // namespace tessela::testing
