#include "journal/crash_point.h"

namespace tessela {

namespace {

constexpr std::array<std::string_view, allCrashPoints.size()> crashPointNames = {
    "lockAfterCreate",           "lockAfterCopy",           "lockAfterVerify",
    "lockBeforeRename",          "lockAfterMove",           "lockAfterRename",
    "lockAfterRenameToDeleting", "lockAfterDeleteOriginal", "restoreAfterCopy",
    "restoreBeforeRename",       "restoreAfterRename",      "restoreAfterDeleteLocked",
    "passwordAfterFirstItem",
};

}  // namespace

std::string_view rawValue(CrashPoint point) {
    return crashPointNames.at(static_cast<std::size_t>(point));
}

std::optional<CrashPoint> crashPointFromRawValue(std::string_view name) {
    for (const CrashPoint point : allCrashPoints) {
        if (rawValue(point) == name) {
            return point;
        }
    }
    return std::nullopt;
}

}  // namespace tessela
