#include "posix/user.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace tessela {

std::optional<UserAccount> UserAccount::current() {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return std::nullopt;
    }
    return UserAccount{entry.pw_name, entry.pw_dir};
}

}  // namespace tessela
