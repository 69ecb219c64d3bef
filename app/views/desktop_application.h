#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tessela {

// Tessela started with no command: the desktop application. One model, its command socket
// and the intake of what arrives there or on the command line (links and locked items to
// open). It runs with or without a desktop: offscreen it starts, finishes interrupted work and
// serves commands. A second start hands what it was asked to open to the running one (or, with
// nothing to open, brings its window forward) and ends;
// when it cannot, because another copy holds the records, it ends without showing anything.
// Returns the exit status.
int runDesktopApplication(int argc, char** argv, const std::vector<std::string>& opened);

// Whether `argument` is something to open rather than a command: a "tessela:" link, or a
// locked item (a path ending in ".tessvault").
[[nodiscard]] bool isSomethingToOpen(const std::string& argument);

}  // namespace tessela
