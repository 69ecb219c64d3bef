#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessela {

// Commands on the application's socket: one URL per line, UTF-8, at most 64 KiB with its line
// feed. A line that is longer, holds a NUL byte or is not UTF-8 is rejected with a sentence, and
// nothing is ever run from it. Used by both ends: the sender frames, the application unframes.
class CommandFraming {
  public:
    static constexpr std::size_t maxLineBytes = 64 * 1024;

    // The URL as one line; none when it cannot travel as one (a line feed, NUL or non-UTF-8
    // byte in it, or too long).
    [[nodiscard]] static std::optional<std::string> frame(std::string_view url);

    // A line that was rejected, and why.
    struct Rejected {
        std::string reason;
        friend bool operator==(const Rejected&, const Rejected&) = default;
    };
    using Line = std::variant<std::string, Rejected>;

    // Takes bytes as they arrive and returns the complete lines among them, in order. An
    // over-long line is rejected once and skipped up to its end.
    [[nodiscard]] std::vector<Line> take(std::string_view bytes);
    // What is left when the sender closes: an unfinished line is rejected.
    [[nodiscard]] std::vector<Line> finish();

  private:
    [[nodiscard]] static Line judged(std::string line);

    std::string pending_;
    bool skipping_ = false;  // inside a line already rejected as too long
};

}  // namespace tessela
