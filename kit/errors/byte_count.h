#pragma once

#include <cstdint>
#include <string>

namespace tessela {

// The one formatter for byte counts shown to the user: decimal units (1 kB = 1000 bytes) with one
// decimal, as the desktop's file managers show sizes ("250.0 MB"; GLib puts a no-break space
// between number and unit so the two never wrap apart). A negative count is shown with a leading
// minus sign.
[[nodiscard]] std::string formatByteCount(std::int64_t bytes);

}  // namespace tessela
