#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "checks/open_files.h"
#include "files/file_system.h"
#include "journal/crash_point.h"

namespace tessela {

// What a Locker may be given beside its locations and its tool. The defaults are those of
// normal use.
struct LockerOptions {
    static constexpr std::int64_t defaultSpaceMargin = 250'000'000;
    static constexpr double defaultCloudDownloadTimeout = 300.0;

    // Extra free bytes required beyond the content.
    std::int64_t spaceMargin = defaultSpaceMargin;
    // How long to wait for cloud files, in seconds.
    double cloudDownloadTimeout = defaultCloudDownloadTimeout;
    // The open-file lister.
    std::string lsofPath = OpenFiles::lsofPath;
    // Where every change and flush of the disk goes; none is the real file system. It must
    // outlive the Locker. Tests give one that records, fails or cuts the power.
    FileSystem* fileSystem = nullptr;
    // For a reader that does not hold the records' lock (the status beside a running
    // application): loading the records or the journal never sets a damaged file aside. Such a
    // Locker is only read from.
    bool readOnly = false;
    // Where to stop with SimulatedCrash; tests only.
    std::optional<CrashPoint> crashPoint = std::nullopt;
    // Called with the copy's location once the content is copied, before it is verified (a
    // lock's copy still in its writable container); tests only, to damage a copy.
    std::function<void(const std::filesystem::path&)> afterCopy = {};
    // Called with the container's own folder once a lock has written the content into it
    // directly, before it is mounted to be verified; tests only, to damage what was sealed.
    std::function<void(const std::filesystem::path&)> afterSealing = {};
};

}  // namespace tessela
