#include "errors/byte_count.h"

#include <glib.h>

#include <memory>

namespace tessela {

std::string formatByteCount(std::int64_t bytes) {
    // g_format_size takes an unsigned count; the magnitude of INT64_MIN still fits in it.
    const bool negative = bytes < 0;
    const auto magnitude =
        negative ? static_cast<guint64>(-(bytes + 1)) + 1 : static_cast<guint64>(bytes);
    std::unique_ptr<gchar, decltype(&g_free)> text(g_format_size(magnitude), &g_free);
    return (negative ? "-" : "") + std::string(text.get());
}

}  // namespace tessela
