#pragma once

#include <string>
#include <string_view>

namespace tessela {

// `bytes` as valid UTF-8: every ill-formed sequence is replaced with U+FFFD, one replacement per
// maximal ill-formed subpart (the W3C/Unicode recommended practice), so "a\xFFb" becomes
// "a\uFFFDb" and a truncated multi-byte sequence becomes a single U+FFFD.
[[nodiscard]] std::string repairUtf8(std::string_view bytes);

// `text` with whole characters removed from its end while it is `limit` bytes or longer: never
// cut inside a multi-byte character.
[[nodiscard]] std::string shortenUtf8(std::string text, std::size_t limit);

// `bytes` as text for a terminal or a log: repaired as repairUtf8 does, and every control
// character (C0, DEL and the C1 range, which a terminal acts on: a line feed, an escape
// sequence) shown as "?" rather than acted on.
[[nodiscard]] std::string terminalSafe(std::string_view bytes);

}  // namespace tessela
