#pragma once

#include <sys/types.h>

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process/disk_image_tool.h"

namespace tessela {

// Which processes hold files open inside an item or a mounted volume, asked of lsof through the
// process runner. The check never fails: a lister that is missing, slow or silent gives
// `unknown`, which blocks nothing (no names, and never a forced detach).
//
// lsof exits with status 1 and prints nothing when nobody holds anything; that, like any other
// unusable answer, is `unknown`.
class OpenFiles {
  public:
    static constexpr const char* lsofPath = "/usr/bin/lsof";
    static constexpr double defaultTimeout = 10.0;

    struct Holder {
        std::string command;  // as the lister reports it (Linux: at most 15 characters)
        bool isWriter = false;
        pid_t pid = 0;
        friend bool operator==(const Holder&, const Holder&) = default;
    };

    // Either the holders, in the order the lister first named each process, or unknown.
    struct Holders {
        std::optional<std::vector<Holder>> known;  // none: unknown

        [[nodiscard]] static Holders unknown() { return {}; }
        [[nodiscard]] static Holders of(std::vector<Holder> holders) {
            return {std::move(holders)};
        }
        [[nodiscard]] bool isUnknown() const noexcept { return !known.has_value(); }
        friend bool operator==(const Holders&, const Holders&) = default;
    };

    // Background processes that may hold files in a volume without the user's involvement:
    // the system indexers and thumbnailers, as the lister names them.
    static constexpr std::array<std::string_view, 14> autoEjectAllowlist = {
        "QuickLookUIService",
        "QuickLookSatellite",
        "quicklookd",
        "com.apple.quicklook.ThumbnailsA",
        "mds",
        "mds_stores",
        "mdworker",
        "mdworker_shared",
        "tracker-miner-f",
        "tracker-extract",
        "localsearch-3",
        "baloo_file",
        "baloo_file_extr",
        "gvfsd-metadata",
    };
    // Where system executables live.
    static constexpr std::array<std::string_view, 6> systemExecutablePrefixes = {
        "/System/", "/usr/libexec/", "/usr/sbin/", "/usr/lib/", "/usr/bin/", "/usr/lib64/",
    };

    // Who holds files at `location` (for a folder, anywhere beneath it). Nothing there gives an
    // empty known list. This process and the tools it is running are left out: Tessela never
    // asks the user to close Tessela.
    [[nodiscard]] static Holders holders(const std::filesystem::path& location,
                                         double timeout = defaultTimeout,
                                         const std::string& lister = lsofPath);

    // The names of the processes writing at `location`.
    [[nodiscard]] static std::vector<std::string> appNames(const std::filesystem::path& location,
                                                           double timeout = defaultTimeout);

    // Names of writing processes, each once, in first-seen order; empty for unknown.
    [[nodiscard]] static std::vector<std::string> writerNames(const Holders& holders);
    // The names that keep a volume busy: the writers if there are any, else every holder not on
    // the allowlist; empty for unknown.
    [[nodiscard]] static std::vector<std::string> blockingNames(const Holders& holders);

    // The disk image tool's blocker check, asking `lister`: the blocking names, and safe to
    // eject only when safeToAutoEject holds for a known, non-empty list of holders.
    [[nodiscard]] static DiskImageTool::BlockerCheck blockerCheck(std::string lister = lsofPath);

    using ExecutablePathLookup = std::function<std::optional<std::string>(pid_t)>;
    // True only when every holder is a reader on the allowlist running from a system executable
    // folder; false for unknown and for nobody.
    [[nodiscard]] static bool safeToAutoEject(
        const Holders& holders, const ExecutablePathLookup& lookup = &OpenFiles::executablePath);

    // The executable a running process was started from (/proc/PID/exe), or none.
    [[nodiscard]] static std::optional<std::string> executablePath(pid_t pid);

    // Parses lsof's field output (-F pcfa).
    [[nodiscard]] static std::vector<Holder> parse(std::string_view output);
    // A timed-out run, or a failing one with no output, is unknown; anything else is parsed.
    [[nodiscard]] static Holders classify(int status, bool timedOut, std::string_view output);
};

}  // namespace tessela
