#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "activity/cancel_token.h"

namespace tessela {

// The fingerprint check, through fprintd on the system bus (net.reactivated.Fprint): whether
// this user can use one, and a verification with any enrolled finger. Every problem (no
// fprintd, no device, no enrolled finger, a device that is busy or never answers) reads as
// false; nothing is thrown and nothing is shown. The prompt around a verification is the
// caller's: its "Use Tessela Password" button cancels the token given to verify().
class FingerprintCheck {
  public:
    static constexpr std::chrono::seconds defaultLimit{30};

    // `busAddress`: the bus fprintd is on; none is the system bus. `limit` bounds a verification.
    explicit FingerprintCheck(std::optional<std::string> busAddress = std::nullopt,
                              std::chrono::milliseconds limit = defaultLimit)
        : busAddress_(std::move(busAddress)), limit_(limit) {}

    // A default device exists and this user has enrolled fingers on it.
    [[nodiscard]] bool usable() const noexcept;
    // Claims the device, starts a verification with any finger and waits for its final status
    // (at most `limit`, or until `cancel` is cancelled), then stops the verification and
    // releases the device on every path. True only for a match.
    [[nodiscard]] bool verify(const CancelToken* cancel = nullptr) const noexcept;

  private:
    std::optional<std::string> busAddress_;
    std::chrono::milliseconds limit_;
};

}  // namespace tessela
