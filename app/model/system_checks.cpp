#include "model/system_checks.h"

#include <fcntl.h>
#include <linux/fscrypt.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <system_error>

#include "posix/unique_fd.h"

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

}  // namespace tessela
