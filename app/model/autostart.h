#pragma once

#include <filesystem>
#include <string>

namespace tessela {

// "Open Tessela at login": an XDG autostart entry, tessela.desktop in the user's autostart
// folder ($XDG_CONFIG_HOME/autostart), which the desktop session starts at login. Auto-lock
// protects the user only while Tessela runs, so setup turns it on. The entry is the installed
// copy (share/tessela/autostart/tessela.desktop, which a package may adapt) where there is one.
class Autostart {
  public:
    // `configHome`: the user's configuration folder; `program`: what the entry starts;
    // `installed`: the installed copy of the entry, if any.
    Autostart(std::filesystem::path configHome, std::filesystem::path program,
              std::filesystem::path installed = {});
    // This user's configuration folder, the tessela program beside the running one and the
    // installed copy beside it.
    [[nodiscard]] static Autostart standard();
    // The entry for the programs in `programs`: named there only when nobody else can put
    // another program at that place later (see lasting()); else the installed program's place.
    [[nodiscard]] static Autostart forPrograms(std::filesystem::path configHome,
                                               const std::filesystem::path& programs);
    // Whether `folder` and every folder above it belong to root or this user and nobody else
    // may write to them. A login entry runs its program at every login to come: a folder
    // another user may write to (a shared folder, /tmp, sticky or not) lets them put their own
    // program at that path once this one is gone.
    [[nodiscard]] static bool lasting(const std::filesystem::path& folder);

    // An entry is there (a file, not a link) and not turned off in it (Hidden=true or
    // X-GNOME-Autostart-enabled=false).
    [[nodiscard]] bool enabled() const;
    // Writes the entry (whole, through a new hidden file renamed over the place, never through
    // a link found there) or removes it. Throws std::system_error with what failed.
    void setEnabled(bool enabled) const;
    [[nodiscard]] std::filesystem::path entry() const { return folder_ / "tessela.desktop"; }
    // The entry's text: the installed copy with `program` in its Exec key, else Tessela's own.
    [[nodiscard]] std::string text() const;

  private:
    std::filesystem::path folder_;
    std::filesystem::path program_;
    std::filesystem::path installed_;
};

}  // namespace tessela
