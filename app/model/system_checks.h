#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessela {

// What the setup screens ask the system.
struct SystemChecks {
    // Whether the file system holding `folder` (the home folder by default) is encrypted at rest:
    // on a dm-crypt device (its device, or any device beneath it through "slaves", has a device
    // mapper uuid beginning "CRYPT-"), or the folder itself under fscrypt. None when it cannot
    // tell: no such device in sysfs (a network or virtual file system), or nothing to read.
    // `sysfs` is where the kernel's sysfs is mounted (tests pass a fake tree). Never throws.
    [[nodiscard]] static std::optional<bool> diskEncryptionOn(
        const std::filesystem::path& folder, const std::filesystem::path& sysfs = "/sys");

    // The file-manager integration for the current user: for each file manager, a link in the
    // user's own data folder leading to this installation's file for it (found beside the
    // running program, in the layout the build and the installation share).
    //   GNOME Files: $XDG_DATA_HOME/tessela/nautilus-extension → the extension module. GNOME
    //     Files loads modules only from the system's folder, for everyone; the module shows its
    //     entries only to users whose link leads to it.
    //   Dolphin: $XDG_DATA_HOME/kio/servicemenus/tessela.desktop → the service menu.
    //   Nemo: $XDG_DATA_HOME/nemo/actions/tessela.nemo_action → the action.
    struct FinderPart {
        std::string fileManager;       // "GNOME Files", "Dolphin", "Nemo"
        std::filesystem::path link;    // in the user's data folder
        std::filesystem::path target;  // this installation's file
        friend bool operator==(const FinderPart&, const FinderPart&) = default;
    };
    // The parts for the installation whose programs are in `programFolder` (by default the
    // running program's folder).
    [[nodiscard]] static std::vector<FinderPart> finderParts(
        const std::optional<std::filesystem::path>& programFolder = std::nullopt);
    // A part is enabled when its link is in place and leads to its target (the same file, by
    // device and inode), which exists.
    [[nodiscard]] static bool finderPartEnabled(const FinderPart& part);
    // Every part enabled.
    [[nodiscard]] static bool finderExtensionEnabled(
        const std::optional<std::filesystem::path>& programFolder = std::nullopt);
    // Whether the part's place is free for Tessela's link: nothing there, or a link to a file of
    // the target's name (this or another installation's). Anything else is the user's own.
    [[nodiscard]] static bool finderPartIsTessela(const FinderPart& part);
    // Puts each part's link in place, replacing a link left by another installation, for the
    // parts whose target exists. What is the user's own is never replaced. Reports nothing:
    // callers read the state again afterwards.
    static void enableFinderExtension(
        const std::optional<std::filesystem::path>& programFolder = std::nullopt);
    // Removes Tessela's links (never the user's own files or links) and so turns the
    // integration off.
    static void disableFinderExtension(
        const std::optional<std::filesystem::path>& programFolder = std::nullopt);
};

}  // namespace tessela
