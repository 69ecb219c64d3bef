#include "records/bookmark.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <tuple>

#include "files/file_identity.h"
#include "text/log.h"

namespace tessela {

namespace {

// A file's identity on its device.
struct Identity {
    std::uint64_t device = 0;
    FileIdentity file;

    friend bool operator==(const Identity&, const Identity&) = default;
};

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};
using DirectoryHandle = std::unique_ptr<DIR, DirectoryCloser>;

struct Stat {
    Identity identity;
    bool isDirectory = false;
};

std::optional<Stat> statOf(const std::filesystem::path& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_TYPE | STATX_BTIME,
                &info) != 0) {
        return std::nullopt;
    }
    Stat result;
    result.identity.device = (std::uint64_t{info.stx_dev_major} << 32) | info.stx_dev_minor;
    result.identity.file = FileIdentity::of(info);
    result.isDirectory = S_ISDIR(info.stx_mode);
    return result;
}

struct Decoded {
    std::filesystem::path path;
    Identity identity;
};

std::optional<Decoded> decode(const std::vector<std::uint8_t>& bytes) {
    try {
        const nlohmann::json object = nlohmann::json::parse(bytes.begin(), bytes.end());
        if (object.at("version").get<int>() != 1) {
            return std::nullopt;
        }
        Decoded decoded;
        decoded.path = object.at("path").get<std::string>();
        decoded.identity.device = object.at("device").get<std::uint64_t>();
        decoded.identity.file.inode = object.at("inode").get<std::uint64_t>();
        decoded.identity.file.birthSeconds = object.at("birthSeconds").get<std::int64_t>();
        decoded.identity.file.birthNanoseconds = object.at("birthNanoseconds").get<std::uint32_t>();
        if (!decoded.path.is_absolute()) {
            return std::nullopt;
        }
        return decoded;
    } catch (const nlohmann::json::exception&) {
        logCaught(LogLevel::info, {"A locked item's bookmark does not decode"});
        return std::nullopt;
    }
}

// Breadth-first search below the given folders, nearest folder first, for an entry with
// `wanted` identity. Folders already searched are not searched again.
std::optional<std::filesystem::path> search(const std::vector<std::filesystem::path>& roots,
                                            const Identity& wanted) {
    int budget = Bookmark::searchLimit;
    std::set<std::pair<std::uint64_t, std::uint64_t>> searched;
    for (const std::filesystem::path& root : roots) {
        const std::optional<Stat> rootStat = statOf(root);
        if (!rootStat || !rootStat->isDirectory || rootStat->identity.device != wanted.device) {
            continue;
        }
        std::deque<std::filesystem::path> queue{root};
        while (!queue.empty() && budget > 0) {
            const std::filesystem::path folder = queue.front();
            queue.pop_front();
            const std::optional<Stat> folderStat = statOf(folder);
            if (!folderStat ||
                !searched.emplace(folderStat->identity.device, folderStat->identity.file.inode)
                     .second) {
                continue;
            }
            const DirectoryHandle directory(::opendir(folder.c_str()));
            if (!directory) {
                continue;
            }
            while (const dirent* entry = ::readdir(directory.get())) {
                const std::string name = entry->d_name;
                if (name == "." || name == "..") {
                    continue;
                }
                if (--budget < 0) {
                    break;
                }
                const std::filesystem::path child = folder / name;
                const std::optional<Stat> childStat = statOf(child);
                if (!childStat) {
                    continue;
                }
                if (childStat->identity == wanted) {
                    return child;
                }
                // Stay on the item's own volume: a different device is another mount.
                if (childStat->isDirectory && childStat->identity.device == wanted.device) {
                    queue.push_back(child);
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> Bookmark::make(const std::filesystem::path& path) {
    const std::filesystem::path absolute = path.is_absolute()
                                               ? path.lexically_normal()
                                               : std::filesystem::absolute(path).lexically_normal();
    const std::optional<Stat> stat = statOf(absolute);
    if (!stat) {
        return std::nullopt;
    }
    const nlohmann::json object = {
        {"version", 1},
        {"path", absolute.string()},
        {"device", stat->identity.device},
        {"inode", stat->identity.file.inode},
        {"birthSeconds", stat->identity.file.birthSeconds},
        {"birthNanoseconds", stat->identity.file.birthNanoseconds},
    };
    const std::string text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::optional<std::filesystem::path> Bookmark::resolve(const std::vector<std::uint8_t>& bytes) {
    try {
        const std::optional<Decoded> decoded = decode(bytes);
        if (!decoded) {
            return std::nullopt;
        }
        const std::optional<Stat> current = statOf(decoded->path);
        if (current && current->identity == decoded->identity) {
            return decoded->path;
        }
        std::vector<std::filesystem::path> roots;
        std::filesystem::path folder = decoded->path.parent_path();
        for (int level = 0; level <= foldersAbove && !folder.empty(); ++level) {
            roots.push_back(folder);
            if (folder == folder.root_path()) {
                break;
            }
            folder = folder.parent_path();
        }
        return search(roots, decoded->identity);
    } catch (const std::exception&) {
        // Out of memory or a path that cannot be formed: the bookmark does not resolve.
        logCaught(LogLevel::warning, {"A locked item's bookmark does not resolve"});
        return std::nullopt;
    }
}

}  // namespace tessela
