#pragma once

#include <optional>

namespace tessela {

// Seconds since the last input as the X11 screen-saver extension tells them, where the
// application runs on X11 and the server has the extension; none elsewhere (Wayland, offscreen).
[[nodiscard]] std::optional<double> x11IdleSeconds();

}  // namespace tessela
