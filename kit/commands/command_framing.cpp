#include "commands/command_framing.h"

#include <optional>

#include "text/utf8.h"

namespace tessela {

namespace {

constexpr const char* tooLong = "The command is longer than 64 KiB.";
constexpr const char* holdsNul = "The command holds a NUL byte.";
constexpr const char* notText = "The command is not UTF-8 text.";
constexpr const char* unfinished = "The command ended without a line feed.";

}  // namespace

std::optional<std::string> CommandFraming::frame(std::string_view url) {
    if (url.size() + 1 > maxLineBytes || url.find('\n') != std::string_view::npos ||
        url.find('\0') != std::string_view::npos || repairUtf8(url) != url) {
        return std::nullopt;
    }
    return std::string(url) + "\n";
}

CommandFraming::Line CommandFraming::judged(std::string line) {
    if (line.find('\0') != std::string::npos) {
        return Rejected{holdsNul};
    }
    if (repairUtf8(line) != line) {
        return Rejected{notText};
    }
    return line;
}

std::vector<CommandFraming::Line> CommandFraming::take(std::string_view bytes) {
    std::vector<Line> lines;
    while (!bytes.empty()) {
        const auto end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (!skipping_) {
            pending_.append(piece);
            if (pending_.size() + 1 > maxLineBytes) {
                lines.emplace_back(Rejected{tooLong});
                pending_.clear();
                skipping_ = true;
            }
        }
        if (end == std::string_view::npos) {
            break;
        }
        if (!skipping_) {
            lines.push_back(judged(std::move(pending_)));
        }
        pending_.clear();
        skipping_ = false;
        bytes.remove_prefix(end + 1);
    }
    return lines;
}

std::vector<CommandFraming::Line> CommandFraming::finish() {
    std::vector<Line> lines;
    if (!pending_.empty() && !skipping_) {
        lines.emplace_back(Rejected{unfinished});
    }
    pending_.clear();
    skipping_ = false;
    return lines;
}

}  // namespace tessela
