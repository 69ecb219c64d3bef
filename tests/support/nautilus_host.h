#pragma once

// Loading the GNOME Files module as GNOME Files does, without GNOME Files: through GModule and a
// type module, with stand-in file objects for the selection.

#include <glib-object.h>

#include <string>

namespace tessela::testing {

// The menu provider type the module at `path` lists; loaded once per process (types stay
// registered), G_TYPE_INVALID with a test failure when it cannot be loaded.
[[nodiscard]] GType loadNautilusModule(const char* path);

// A selected file as GNOME Files hands it over (a NautilusFileInfo): only its location is
// answered. An empty path stands for a file without a local path (a remote location).
[[nodiscard]] GObject* newFakeFileInfo(const std::string& path);
// Moves the stand-in to another location, as a rename would.
void setFakeFileInfoPath(gpointer info, const std::string& path);

}  // namespace tessela::testing
