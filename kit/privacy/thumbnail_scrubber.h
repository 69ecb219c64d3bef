#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessela {

// Removes what the desktop keeps about locked content outside the locked items, so previews and
// names of content that was just locked do not stay readable:
// - every freedesktop thumbnail (all size folders and "fail/") whose "Thumb::URI" names a file
//   under the mounts folder or under one of the given roots (locked items' original places);
// - every entry of the recent-files list ("recently-used.xbel") under those roots.
// A thumbnail that is not a readable PNG is skipped. Stateless; callable from any thread.
class ThumbnailScrubber {
  public:
    // Where the desktop keeps its thumbnails and recent-files list; the application finds them
    // (AppPaths) and passes them in.
    struct Places {
        std::filesystem::path thumbnails;   // $XDG_CACHE_HOME/thumbnails
        std::filesystem::path recentFiles;  // $XDG_DATA_HOME/recently-used.xbel
    };

    // True when everything found under the roots was removed (or nothing was there); false when
    // a removal failed or the recent-files list exists but could not be read or rewritten.
    // Never throws.
    [[nodiscard]] static bool reset(const std::filesystem::path& mountsFolder,
                                    const std::vector<std::filesystem::path>& roots,
                                    const Places& places);

    // The "Thumb::URI" text of a thumbnail PNG, or none when the file is not a readable PNG
    // with that text.
    [[nodiscard]] static std::optional<std::string> thumbnailURI(const std::filesystem::path& png);
};

}  // namespace tessela
