#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessela {

// One mount of this process's mount namespace.
struct MountEntry {
    std::string mountPoint;      // absolute, as the kernel lists it (escapes decoded)
    std::string fileSystemType;  // "ext4", "fuse.gocryptfs", …
    std::string source;          // the mount source (escapes decoded)
    friend bool operator==(const MountEntry&, const MountEntry&) = default;
};

// Every mount of this process's mount namespace, from /proc/self/mountinfo (proc(5)): bind
// mounts, FUSE mounts (sshfs, cloud drives) and ordinary file systems alike. Stateless.
class MountTable {
  public:
    // The mounts listed in mountinfo text, in order; malformed lines are skipped.
    [[nodiscard]] static std::vector<MountEntry> parse(std::string_view mountInfo);
    // The mounts now; std::system_error when /proc/self/mountinfo cannot be read.
    [[nodiscard]] static std::vector<MountEntry> read();
};

}  // namespace tessela
