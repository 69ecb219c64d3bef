#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "activity/cancel_token.h"
#include "files/file_system.h"
#include "files/folder.h"

namespace tessela {

// Copies an item's content with full fidelity (modes, owners where permitted, times, extended
// attributes, links as links), into the container for a lock and out of it for a lock removal.
// The work is done by the copy tool (cp -a), several copy processes side by side. Failure is
// copyFailed with the tool's cleaned output; cancellation ends every copy process.
class ContentCopier {
  public:
    static constexpr const char* defaultTool = "/usr/bin/cp";
    // Copy processes working side by side on a folder's entries.
    static constexpr int copyStreams = 4;

    ContentCopier(std::string copyTool, FileSystem& fileSystem)
        : copyTool_(std::move(copyTool)), fileSystem_(&fileSystem) {}

    // A file `from` becomes `to`; a folder's contents go into the existing folder `to`.
    void copy(const std::filesystem::path& from, const std::filesystem::path& to,
              const CancelToken* cancel) const;
    // The same into a folder held open: a file `from` becomes `name` in `into`; a folder's
    // entries (but those in `skipping`) go into `into` itself, which then takes the folder's
    // mode, owner, times and extended attributes. The copy tool works inside `into` (its
    // working folder), so nothing can redirect it, and folders are made writable for the
    // copy and get their own modes at its end, so read-only folders copy too.
    // With `rootMode`, `into` gets that mode instead of the folder's.
    void copyInto(const std::filesystem::path& from, const Folder& into, const std::string& name,
                  const std::set<std::string>& skipping, const CancelToken* cancel,
                  std::optional<mode_t> rootMode = std::nullopt) const;

  private:
    // Copies each source into `into`, up to `copyStreams` copy processes side by side.
    void copyEntries(const std::vector<std::filesystem::path>& sources, const Folder& into,
                     const CancelToken* cancel) const;
    // Runs the copy tool in `into`, copying `sources` to the relative `destination`.
    void runCopyTool(const std::vector<std::filesystem::path>& sources, const Folder& into,
                     const std::string& destination, const CancelToken* cancel) const;
    // Mode (or `mode` when given), owner, times and extended attributes of folder `from` onto
    // the folder `to`.
    void copyFolderAttributes(const std::filesystem::path& from, const Folder& to,
                              std::optional<mode_t> mode) const;

    std::string copyTool_;
    FileSystem* fileSystem_;
};

}  // namespace tessela
