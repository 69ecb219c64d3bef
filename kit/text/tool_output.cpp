#include "text/tool_output.h"

#include <algorithm>

namespace tessela {

std::string oneLineOfOutput(std::string_view output,
                            std::initializer_list<std::string_view> prefixes) {
    std::string joined;
    while (!output.empty()) {
        const auto end = output.find('\n');
        std::string line(output.substr(0, end));
        output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
        // Terminal colour codes: ESC [ parameters letter.
        for (auto escape = line.find('\x1b'); escape != std::string::npos;
             escape = line.find('\x1b', escape)) {
            auto last = escape + 1;
            if (last < line.size() && line[last] == '[') {
                ++last;
                while (last < line.size() && !(line[last] >= '@' && line[last] <= '~')) {
                    ++last;
                }
                ++last;
            }
            line.erase(escape, std::min(last, line.size()) - escape);
        }
        for (const std::string_view prefix : prefixes) {
            for (auto found = line.find(prefix); found != std::string::npos;
                 found = line.find(prefix, found)) {
                line.erase(found, prefix.size());
            }
        }
        if (line.empty() || line == "\r") {
            continue;
        }
        if (!joined.empty()) {
            joined += ' ';
        }
        joined += line;
    }
    const auto first = joined.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = joined.find_last_not_of(" \t");
    return joined.substr(first, last - first + 1);
}

}  // namespace tessela
