#include "checks/lock_policy.h"

#include <algorithm>

#include "files/paths.h"
#include "posix/user.h"

namespace tessela {

namespace {

std::string lowerCased(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char character) {
        return static_cast<char>(character >= 'A' && character <= 'Z' ? character + 32 : character);
    });
    return lower;
}

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto slash = path.find('/', start);
        const std::string part =
            path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!part.empty()) {
            parts.push_back(part);
        }
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    return parts;
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

const std::vector<std::string> LockPolicy::cloudFolders = {"Mobile Documents", "CloudStorage"};
const std::vector<std::string> LockPolicy::systemRoots = {"/",      "/Users", "/Volumes",  "/home",
                                                          "/media", "/mnt",   "/run/media"};
const std::vector<std::string> LockPolicy::systemFolders = {
    "/System", "/Library", "/Applications", "/bin",     "/sbin",        "/usr",
    "/cores",  "/dev",     "/opt",          "/etc",     "/private/etc", "/boot",
    "/lib",    "/lib32",   "/lib64",        "/libx32",  "/proc",        "/sys",
    "/snap",   "/var/lib", "/var/cache",    "/var/log",
};
const std::vector<std::string> LockPolicy::standardFolderNames = {"Desktop", "Documents",
                                                                  "Downloads"};
const std::vector<std::string> LockPolicy::homeLibraryFolders = {".config", ".local", ".cache"};

LockPolicy::LockPolicy(const std::filesystem::path& home, const std::filesystem::path& mountsRoot,
                       const std::optional<std::filesystem::path>& appBundle, std::string user)
    : home_(realPath(home)),
      mountsRoot_(realPath(mountsRoot)),
      supportFolder_(std::filesystem::path(mountsRoot_).parent_path().string()) {
    if (appBundle) {
        appBundle_ = realPath(*appBundle);
    }
    if (user.empty()) {
        if (const std::optional<UserAccount> account = UserAccount::current()) {
            user = account->name;
        }
    }
    if (!user.empty()) {
        userRoots_ = {"/media/" + user, "/run/media/" + user};
    }
}

std::optional<LockRefusal> LockPolicy::containedRefusal(const std::string& path) const {
    // Every folder directly in "/" holds what the system or its users rely on (/run, /srv,
    // /root, /tmp, …), so none is locked whole.
    if (const auto slash = path.rfind('/'); slash == 0 && path.size() > 1) {
        return LockRefusal::systemLocation;
    }
    // Locking a folder locks everything in it: one that holds a refused location is refused
    // for that location's reason.
    for (const std::vector<std::string>* list : {&systemRoots, &userRoots_, &systemFolders}) {
        for (const std::string& folder : *list) {
            if (isBeneath(folder, path)) {
                return LockRefusal::systemLocation;
            }
        }
    }
    if (isBeneath(home_, path)) {
        return LockRefusal::homeFolder;
    }
    // Tessela's own records and mounts (the support folder holding the mounts folder) and its
    // program.
    if (isAtOrBeneath(path, supportFolder_) || isBeneath(supportFolder_, path) ||
        (appBundle_ && isBeneath(*appBundle_, path))) {
        return LockRefusal::tesselaItself;
    }
    return std::nullopt;
}

std::optional<LockRefusal> LockPolicy::refusal(const std::filesystem::path& location,
                                               const ItemFacts& facts) const {
    if (!facts.exists) {
        return LockRefusal::doesNotExist;
    }
    if (facts.isSymlink) {
        return LockRefusal::shortcut;
    }
    const std::string path = realPath(location);
    if (isAtOrBeneath(path, mountsRoot_)) {
        return LockRefusal::insideUnlockedItem;
    }
    if (appBundle_ && isAtOrBeneath(path, *appBundle_)) {
        return LockRefusal::tesselaItself;
    }
    if (contains(systemRoots, path) || contains(userRoots_, path)) {
        return LockRefusal::systemLocation;
    }
    for (const std::string& folder : systemFolders) {
        if (isAtOrBeneath(path, folder)) {
            return LockRefusal::systemLocation;
        }
    }
    if (path == home_) {
        return LockRefusal::homeFolder;
    }
    for (const std::string& name : standardFolderNames) {
        if (path == home_ + "/" + name) {
            return LockRefusal::standardFolder;
        }
    }
    const std::string library = home_ + "/Library";
    if (isAtOrBeneath(path, library)) {
        const std::vector<std::string> rest = components(path.substr(library.size()));
        if (!(rest.size() >= 3 && contains(cloudFolders, rest.front()))) {
            return LockRefusal::libraryFolder;
        }
    }
    for (const std::string& name : homeLibraryFolders) {
        if (isAtOrBeneath(path, home_ + "/" + name)) {
            return LockRefusal::libraryFolder;
        }
    }
    if (const std::optional<LockRefusal> refusal = containedRefusal(path)) {
        return refusal;
    }
    const std::vector<std::string> parts = components(path);
    for (const std::string& part : parts) {
        if (lowerCased(part).ends_with(".app")) {
            return LockRefusal::application;
        }
    }
    for (std::size_t index = 0; index + 1 < parts.size(); ++index) {
        const std::string lower = lowerCased(parts[index]);
        if (lower.ends_with(lockedSuffix) || lower.ends_with(imageSuffix) ||
            lower.starts_with(temporaryPrefix)) {
            return LockRefusal::insideLockedItem;
        }
    }
    if (!parts.empty()) {
        const std::string last = lowerCased(parts.back());
        if (last.ends_with(lockedSuffix) || last.starts_with(temporaryPrefix)) {
            return LockRefusal::alreadyLocked;
        }
    }
    if (facts.isNetworkVolume) {
        return LockRefusal::networkVolume;
    }
    if (facts.isVolumeRoot) {
        return LockRefusal::volumeRoot;
    }
    if (facts.size > maxBytes) {
        return LockRefusal::tooLarge;
    }
    return std::nullopt;
}

}  // namespace tessela
