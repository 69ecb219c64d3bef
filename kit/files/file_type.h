#pragma once

#include <sys/types.h>

#include <string_view>

namespace tessela {

// A stable name for the file type in `mode` ("regular", "directory", "symbolicLink", "socket",
// "fifo", "characterSpecial", "blockSpecial", "unknown"). Names are compared, never stored.
[[nodiscard]] std::string_view fileTypeName(mode_t mode);

}  // namespace tessela
