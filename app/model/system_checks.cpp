#include "model/system_checks.h"

#include <fcntl.h>
#include <linux/fscrypt.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>
#include <system_error>

#include "files/folder.h"
#include "files/paths.h"
#include "model/app_paths.h"
#include "posix/unique_fd.h"
#include "records/uuid.h"
#include "text/log.h"

namespace tessela {

namespace {

namespace fs = std::filesystem;

// Whether the block device described at `device` (a sysfs block device folder) is a dm-crypt
// mapping or sits on one; stacks deeper than a few layers are not followed further.
bool onCrypt(const fs::path& device, const fs::path& sysfs, int depth) {
    std::ifstream uuid(device / "dm" / "uuid");
    std::string text;
    if (uuid && std::getline(uuid, text) && text.starts_with("CRYPT-")) {
        return true;
    }
    if (depth >= 8) {
        return false;
    }
    std::error_code error;
    for (fs::directory_iterator slave(device / "slaves", error), end; !error && slave != end;
         slave.increment(error)) {
        if (onCrypt(sysfs / "class" / "block" / slave->path().filename(), sysfs, depth + 1)) {
            return true;
        }
    }
    // A partition's own folder lies inside its disk's; the disk's stack counts too.
    if (fs::exists(device / "partition", error) &&
        onCrypt(fs::canonical(device, error).parent_path(), sysfs, depth + 1)) {
        return true;
    }
    return false;
}

bool fscryptEncrypted(const fs::path& folder) {
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        return false;
    }
    fscrypt_get_policy_ex_arg policy{};
    policy.policy_size = sizeof policy.policy;
    return ::ioctl(fd.get(), FS_IOC_GET_ENCRYPTION_POLICY_EX, &policy) == 0;
}

}  // namespace

std::optional<bool> SystemChecks::diskEncryptionOn(const fs::path& folder, const fs::path& sysfs) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        return std::nullopt;
    }
    if (fscryptEncrypted(folder)) {
        return true;
    }
    const fs::path device =
        sysfs / "dev" / "block" /
        (std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev)));
    std::error_code error;
    if (!fs::is_directory(device, error)) {
        return std::nullopt;
    }
    return onCrypt(device, sysfs, 0);
}

std::vector<SystemChecks::FinderPart> SystemChecks::finderParts(
    const std::optional<fs::path>& programFolder) {
    const fs::path programs =
        programFolder.value_or(runningProgram().value_or(fs::path()).parent_path());
    const fs::path data = AppPaths::dataHome();
    const auto installed = [&](const char* fromPrograms) {
        return (programs / fromPrograms).lexically_normal();
    };
    return {
        {"GNOME Files", data / "tessela" / "nautilus-extension",
         installed(TESSELA_NAUTILUS_MODULE_FROM_PROGRAMS)},
        {"Dolphin", data / "kio" / "servicemenus" / "tessela.desktop",
         installed(TESSELA_SERVICE_MENU_FROM_PROGRAMS)},
        {"Nemo", data / "nemo" / "actions" / "tessela.nemo_action",
         installed(TESSELA_NEMO_ACTION_FROM_PROGRAMS)},
    };
}

bool SystemChecks::finderPartEnabled(const FinderPart& part) {
    struct stat link {};
    struct stat target {};
    return ::lstat(part.link.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
           ::stat(part.link.c_str(), &link) == 0 && ::stat(part.target.c_str(), &target) == 0 &&
           link.st_dev == target.st_dev && link.st_ino == target.st_ino;
}

bool SystemChecks::finderExtensionEnabled(const std::optional<fs::path>& programFolder) {
    for (const FinderPart& part : finderParts(programFolder)) {
        if (!finderPartEnabled(part)) {
            return false;
        }
    }
    return true;
}

namespace {

// Whether `name` in `folder` is free for Tessela's link: nothing there, or a link to a file of
// Tessela's name (`targetName`, this installation's or another's). Anything else is the user's.
bool freeForTessela(const Folder& folder, const std::string& name, const fs::path& targetName) {
    const std::optional<struct stat> status = folder.memberStatus(name);
    if (!status) {
        return true;
    }
    if (!S_ISLNK(status->st_mode)) {
        return false;
    }
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(folder.fd(), name.c_str(), target, sizeof target);
    return length > 0 &&
           fs::path(std::string(target, static_cast<std::size_t>(length))).filename() == targetName;
}

// The folder that holds the part's link, held open: every step below works in that very folder,
// never through a link put in the place of the link's name. None when it cannot be opened.
std::optional<Folder> linkFolder(const SystemChecks::FinderPart& part) {
    try {
        return Folder::open(part.link.parent_path());
    } catch (const std::system_error&) {
        // Usually a folder that is not there yet.
        logCaught(LogLevel::debug, {"Could not open the folder of ", part.link}, LogArea::app);
        return std::nullopt;
    }
}

}  // namespace

bool SystemChecks::finderPartIsTessela(const FinderPart& part) {
    const std::optional<Folder> folder = linkFolder(part);
    return !folder ||  // no folder: nothing there yet
           freeForTessela(*folder, part.link.filename().string(), part.target.filename());
}

void SystemChecks::enableFinderExtension(const std::optional<fs::path>& programFolder) {
    for (const FinderPart& part : finderParts(programFolder)) {
        std::error_code error;
        if (finderPartEnabled(part) || !fs::exists(part.target, error)) {
            continue;
        }
        fs::create_directories(part.link.parent_path(), error);
        const std::optional<Folder> folder = linkFolder(part);
        const std::string name = part.link.filename().string();
        if (!folder || !freeForTessela(*folder, name, part.target.filename())) {
            continue;
        }
        // A new link under a private name made exclusively, then renamed over the old one: the
        // place never holds anything but a whole link.
        const std::string fresh = ".tessela-link-" + Uuid::random().string();
        if (::symlinkat(part.target.c_str(), folder->fd(), fresh.c_str()) != 0) {
            continue;
        }
        try {
            folder->renameReplacing(fresh, *folder, name);
        } catch (const std::system_error&) {
            logCaught(LogLevel::warning, {"Could not link ", part.link, " to ", part.target},
                      LogArea::app);
            ::unlinkat(folder->fd(), fresh.c_str(), 0);
        }
    }
}

void SystemChecks::disableFinderExtension(const std::optional<fs::path>& programFolder) {
    for (const FinderPart& part : finderParts(programFolder)) {
        const std::optional<Folder> folder = linkFolder(part);
        const std::string name = part.link.filename().string();
        if (folder && folder->memberStatus(name) &&
            freeForTessela(*folder, name, part.target.filename())) {
            ::unlinkat(folder->fd(), name.c_str(), 0);  // a link: removed itself, never followed
        }
    }
}

}  // namespace tessela
