#include "privacy/thumbnail_scrubber.h"

#include <glib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string_view>

#include "files/file_io.h"
#include "text/log.h"

namespace tessela {

namespace {

// Thumbnails are small; anything larger is not one of them.
constexpr std::uintmax_t largestThumbnail = 16 * 1024 * 1024;

struct GFreeDeleter {
    void operator()(void* pointer) const noexcept { g_free(pointer); }
};
struct BookmarkFileDeleter {
    void operator()(GBookmarkFile* file) const noexcept { g_bookmark_file_free(file); }
};
struct ErrorDeleter {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};

std::uint32_t bigEndian32(std::string_view bytes, std::size_t offset) {
    return (std::uint32_t{static_cast<std::uint8_t>(bytes[offset])} << 24) |
           (std::uint32_t{static_cast<std::uint8_t>(bytes[offset + 1])} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(bytes[offset + 2])} << 8) |
           std::uint32_t{static_cast<std::uint8_t>(bytes[offset + 3])};
}

// Decides whether a path lies at or under one of the roots, comparing standardised paths and,
// for the roots, their resolved forms too (a root reached through a symbolic link).
class Roots {
  public:
    explicit Roots(const std::vector<std::filesystem::path>& roots) {
        for (const std::filesystem::path& root : roots) {
            if (root.empty()) {
                continue;
            }
            add(root.lexically_normal());
            std::error_code error;
            const std::filesystem::path resolved = std::filesystem::weakly_canonical(root, error);
            if (!error) {
                add(resolved.lexically_normal());
            }
        }
    }

    [[nodiscard]] bool contains(const std::filesystem::path& path) const {
        const std::string text = path.lexically_normal().string();
        for (const std::string& root : roots_) {
            if (text == root ||
                (text.size() > root.size() && text.compare(0, root.size(), root) == 0 &&
                 (root.back() == '/' || text[root.size()] == '/'))) {
                return true;
            }
        }
        return false;
    }

    // The local path a URI names, if it is a file: URI under one of the roots.
    [[nodiscard]] bool containsURI(const char* uri) const {
        std::unique_ptr<char, GFreeDeleter> path(g_filename_from_uri(uri, nullptr, nullptr));
        return path && contains(path.get());
    }

  private:
    void add(std::filesystem::path root) {
        std::string text = root.string();
        while (text.size() > 1 && text.back() == '/') {
            text.pop_back();
        }
        roots_.push_back(std::move(text));
    }

    std::vector<std::string> roots_;
};

bool scrubThumbnails(const std::filesystem::path& folder, const Roots& roots, int depth) {
    bool succeeded = true;
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) {
        // No thumbnail cache at all is nothing to scrub.
        return error == std::errc::no_such_file_or_directory;
    }
    for (const auto& entry : entries) {
        if (entry.is_directory(error) && !entry.is_symlink(error)) {
            // The size folders, and "fail/<application>/".
            if (depth < 2) {
                succeeded = scrubThumbnails(entry.path(), roots, depth + 1) && succeeded;
            }
            continue;
        }
        if (entry.path().extension() != ".png" || !entry.is_regular_file(error)) {
            continue;
        }
        const std::optional<std::string> uri = ThumbnailScrubber::thumbnailURI(entry.path());
        if (uri && roots.containsURI(uri->c_str())) {
            if (::unlink(entry.path().c_str()) != 0 && errno != ENOENT) {
                succeeded = false;
            }
        }
    }
    return succeeded;
}

bool scrubRecentFiles(const std::filesystem::path& file, const Roots& roots) {
    if (!posix::exists(file)) {
        return true;
    }
    std::unique_ptr<GBookmarkFile, BookmarkFileDeleter> bookmarks(g_bookmark_file_new());
    GError* rawError = nullptr;
    if (!g_bookmark_file_load_from_file(bookmarks.get(), file.c_str(), &rawError)) {
        std::unique_ptr<GError, ErrorDeleter> error(rawError);
        return false;
    }
    gsize count = 0;
    std::unique_ptr<gchar*, decltype(&g_strfreev)> uris(
        g_bookmark_file_get_uris(bookmarks.get(), &count), &g_strfreev);
    bool changed = false;
    for (gsize index = 0; index < count; ++index) {
        if (roots.containsURI(uris.get()[index])) {
            g_bookmark_file_remove_item(bookmarks.get(), uris.get()[index], nullptr);
            changed = true;
        }
    }
    if (!changed) {
        return true;
    }
    // GLib replaces the file atomically.
    if (!g_bookmark_file_to_file(bookmarks.get(), file.c_str(), &rawError)) {
        std::unique_ptr<GError, ErrorDeleter> error(rawError);
        return false;
    }
    return true;
}

}  // namespace

bool ThumbnailScrubber::reset(const std::filesystem::path& mountsFolder,
                              const std::vector<std::filesystem::path>& roots,
                              const Places& places) {
    try {
        std::vector<std::filesystem::path> allRoots = roots;
        allRoots.push_back(mountsFolder);
        const Roots matcher(allRoots);
        const bool thumbnails = scrubThumbnails(places.thumbnails, matcher, 0);
        const bool recent = scrubRecentFiles(places.recentFiles, matcher);
        return thumbnails && recent;
    } catch (const std::exception&) {
        logCaught(LogLevel::warning, {"Could not forget the previews and recent files of the "
                                      "locked items"});
        return false;
    }
}

std::optional<std::string> ThumbnailScrubber::thumbnailURI(const std::filesystem::path& png) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(png, error);
    if (error || size > largestThumbnail) {
        return std::nullopt;
    }
    std::optional<std::string> bytes;
    try {
        bytes = posix::readFileIfExists(png);
    } catch (const std::system_error&) {
        logCaught(LogLevel::debug, {"Could not read the preview ", png});
        return std::nullopt;
    }
    static constexpr std::string_view signature = "\x89PNG\r\n\x1a\n";
    if (!bytes || bytes->compare(0, signature.size(), signature) != 0) {
        return std::nullopt;
    }
    const std::string_view data(*bytes);
    static constexpr std::string_view keyword("Thumb::URI\0", 11);
    std::size_t offset = signature.size();
    // Each chunk: length (4), type (4), data (length), CRC (4).
    while (offset + 12 <= data.size()) {
        const std::size_t length = bigEndian32(data, offset);
        const std::string_view type = data.substr(offset + 4, 4);
        if (length > data.size() - offset - 12) {
            return std::nullopt;  // truncated or corrupt
        }
        const std::string_view chunk = data.substr(offset + 8, length);
        if (type == "tEXt" && chunk.substr(0, keyword.size()) == keyword) {
            return std::string(chunk.substr(keyword.size()));
        }
        if (type == "IEND") {
            break;
        }
        offset += 12 + length;
    }
    return std::nullopt;
}

}  // namespace tessela
