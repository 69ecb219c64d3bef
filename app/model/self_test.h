#pragma once

#include <filesystem>
#include <optional>
#include <ostream>

namespace tessela {

// `tessela --self-test`: proves that the state shared with the file-manager plug-in can be
// written and read back where the plug-in looks for it, and leaves it as it was found.
struct SelfTest {
    static constexpr const char* passedLine = "self-test: group container OK";
    static constexpr const char* failedLine = "self-test: group container FAILED";

    // Writes a probe state to `location`, reads it back and restores what was there before (an
    // empty list when there was nothing). Passes when the probe came back equal; no location
    // fails.
    [[nodiscard]] static bool passes(const std::optional<std::filesystem::path>& location);
    // Runs the check at the shared state's own location, prints the result line to `out`, and
    // returns the exit status for it: 0 passed, 1 failed.
    [[nodiscard]] static int run(std::ostream& out);
};

}  // namespace tessela
