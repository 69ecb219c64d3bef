#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tessela {

// Who sent a command: the program connected at the other end of a Unix stream socket.
//
// The peer's credentials are fixed when it connects (SO_PEERCRED); its process is held through a
// pidfd (SO_PEERPIDFD, or pidfd_open on kernels without it). The program is the file behind
// /proc/PID/exe, read and then confirmed through the pidfd to still belong to the same living
// process. The mapping:
// - this very program (the same file as /proc/self/exe) is "com.lanternworks.tessela";
// - the "tessela-finder" helper installed beside it is "com.lanternworks.tessela.finder";
// - the end-to-end test driver, at a path the tests pass in, is "com.lanternworks.tessela.e2e";
// - anything else, a peer of another user, or one whose process is gone, is unidentified.
// Files are compared by device and inode, never by name.
//
// A peer that wrote its command and then replaced itself by one of these programs (exec) would
// pass for it; only lock requests depend on the answer, and they then skip a confirmation.
class SenderCheck {
  public:
    // The programs that have identifiers besides this one.
    struct Programs {
        std::filesystem::path finder;
        std::optional<std::filesystem::path> testDriver;

        // The helper beside this program, and the test driver when given.
        [[nodiscard]] static Programs installed(
            std::optional<std::filesystem::path> testDriver = std::nullopt);
    };

    static constexpr const char* ownIdentifier = "com.lanternworks.tessela";
    static constexpr const char* finderIdentifier = "com.lanternworks.tessela.finder";
    static constexpr const char* testIdentifier = "com.lanternworks.tessela.e2e";

    // The identifier of the program connected at `socket`, or none.
    [[nodiscard]] static std::optional<std::string> signingIdentifier(int socket,
                                                                      const Programs& programs);
    // The same, but only for Tessela's own programs (this program and its helper; the test
    // driver under `testOverride`): the identifiers whose lock requests need no confirmation.
    [[nodiscard]] static std::optional<std::string> teamSignedIdentifier(int socket,
                                                                         const Programs& programs,
                                                                         bool testOverride);
};

}  // namespace tessela
