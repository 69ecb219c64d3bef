#pragma once

#include <filesystem>
#include <optional>

namespace tessela {

// What the setup screens ask the system.
struct SystemChecks {
    // Whether the file system holding `folder` (the home folder by default) is encrypted at rest:
    // on a dm-crypt device (its device, or any device beneath it through "slaves", has a device
    // mapper uuid beginning "CRYPT-"), or the folder itself under fscrypt. None when it cannot
    // tell: no such device in sysfs (a network or virtual file system), or nothing to read.
    // `sysfs` is where the kernel's sysfs is mounted (tests pass a fake tree). Never throws.
    [[nodiscard]] static std::optional<bool> diskEncryptionOn(
        const std::filesystem::path& folder, const std::filesystem::path& sysfs = "/sys");
};

}  // namespace tessela
