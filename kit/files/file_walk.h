#pragma once

#include <sys/stat.h>

#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessela {

// A physical, depth-first walk of a tree: symbolic links are never followed (not even the root),
// entries come in the order their directory returns them, and the process's working directory
// is never changed. Every entry below the root is reported with its own status; the root itself
// is not reported. Walking a regular file or a link as root reports nothing. Stateless; the walk
// runs on the caller's thread and holds one traversal open, released on every way out.
class FileWalk {
  public:
    struct Entry {
        // Relative to the root, components joined by "/", no leading "/". The names' bytes as
        // they are, valid UTF-8 or not: root / relativePath reaches the entry again. Repair the
        // text (repairUtf8) only to show it.
        std::string relativePath;
        // The entry's own status (a link is described, not followed); all zero when no status
        // was taken.
        struct stat info {};
        // A directory, readable or not.
        bool isDirectory = false;
        // The system error number when the entry is unreadable or its status was not taken.
        std::optional<int> problem;

        // The last "/"-separated piece of relativePath.
        [[nodiscard]] std::string_view name() const;
    };

    enum class Next { descend = 0, skipDescendants = 1 };

    // The walk could not start, or the root could not be read.
    class WalkError : public std::exception {
      public:
        WalkError(std::string path, int code);
        [[nodiscard]] const std::string& path() const noexcept { return path_; }
        [[nodiscard]] int code() const noexcept { return code_; }
        // "Could not read {last path component}."
        [[nodiscard]] const std::string& description() const noexcept { return description_; }
        const char* what() const noexcept override { return description_.c_str(); }

      private:
        std::string path_;
        int code_;
        std::string description_;
    };

    using Visitor = std::function<Next(const Entry&)>;

    // Calls `visitor` for each entry below `root` in walk order. Throws WalkError when the walk
    // cannot start or the root cannot be read; a visitor's exception ends the walk at once and
    // passes through. `skipDescendants` for a readable directory leaves its contents unvisited.
    static void walk(const std::filesystem::path& root, const Visitor& visitor);

    // The relative paths of all entries below `root`, in walk order.
    [[nodiscard]] static std::vector<std::string> relativePaths(const std::filesystem::path& root);
};

}  // namespace tessela
