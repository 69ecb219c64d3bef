#pragma once

#include <array>
#include <exception>
#include <optional>
#include <string_view>

namespace tessela {

// Named steps at which a test harness can stop an engine operation as if the process had died
// there. The engine's `crashPoint` is absent in the shipped application; nothing but code that
// constructs an engine can arm one.
enum class CrashPoint {
    lockAfterCreate,
    lockAfterCopy,
    lockAfterVerify,
    lockBeforeRename,
    lockAfterMove,
    lockAfterRename,
    lockAfterRenameToDeleting,
    lockAfterDeleteOriginal,
    restoreAfterCopy,
    restoreBeforeRename,
    restoreAfterRename,
    restoreAfterDeleteLocked,
    passwordAfterFirstItem,
};

inline constexpr std::array<CrashPoint, 13> allCrashPoints = {
    CrashPoint::lockAfterCreate,
    CrashPoint::lockAfterCopy,
    CrashPoint::lockAfterVerify,
    CrashPoint::lockBeforeRename,
    CrashPoint::lockAfterMove,
    CrashPoint::lockAfterRename,
    CrashPoint::lockAfterRenameToDeleting,
    CrashPoint::lockAfterDeleteOriginal,
    CrashPoint::restoreAfterCopy,
    CrashPoint::restoreBeforeRename,
    CrashPoint::restoreAfterRename,
    CrashPoint::restoreAfterDeleteLocked,
    CrashPoint::passwordAfterFirstItem,
};

[[nodiscard]] std::string_view rawValue(CrashPoint point);
[[nodiscard]] std::optional<CrashPoint> crashPointFromRawValue(std::string_view name);

// Thrown at an armed crash point. Every caller lets it pass without cleaning up, so files,
// mounts, records and journal entries stay exactly as they were at that moment. Never shown to a
// user; all values are equal.
class SimulatedCrash : public std::exception {
  public:
    const char* what() const noexcept override { return "simulated crash"; }
    friend bool operator==(const SimulatedCrash&, const SimulatedCrash&) { return true; }
};

}  // namespace tessela
