#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tessela {

// A tool's output as one line for a message: empty lines dropped, every occurrence of the
// `prefixes` (the tools' own names, "gocryptfs: ") and terminal colour codes removed, lines
// joined with single blanks, ends trimmed.
[[nodiscard]] std::string oneLineOfOutput(std::string_view output,
                                          std::initializer_list<std::string_view> prefixes);

}  // namespace tessela
