#include "model/autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <system_error>

#include "files/file_io.h"
#include "files/file_system.h"
#include "files/paths.h"
#include "model/app_paths.h"
#include "text/log.h"

namespace tessela {

namespace {

namespace fs = std::filesystem;

// A path as one argument of a desktop entry's Exec key: quoted, with the characters the quoting
// reserves escaped, and "%" doubled (the key's field codes).
std::string execArgument(const std::string& path) {
    std::string quoted = "\"";
    for (const char character : path) {
        if (character == '\\') {
            quoted += R"(\\\\)";  // the quoting's escape, each backslash escaped for the key
            continue;
        }
        if (character == '"' || character == '`' || character == '$') {
            quoted += R"(\\)";  // the quoting's escape, written as the key's escaped backslash
        }
        if (character == '%') {
            quoted += '%';
        }
        // The key's own escapes: a line break never ends the line.
        if (character == '\n' || character == '\t' || character == '\r') {
            quoted += character == '\n' ? R"(\n)" : character == '\t' ? R"(\t)" : R"(\r)";
            continue;
        }
        quoted += character;
    }
    return quoted + "\"";
}

// The line sets the Exec key (blanks may stand around "=").
bool isExecKey(std::string_view line) {
    if (!line.starts_with("Exec")) {
        return false;
    }
    line.remove_prefix(4);
    while (!line.empty() && line.front() == ' ') {
        line.remove_prefix(1);
    }
    return line.starts_with('=');
}

}  // namespace

Autostart::Autostart(fs::path configHome, fs::path program, fs::path installed)
    : folder_(std::move(configHome) / "autostart"),
      program_(std::move(program)),
      installed_(std::move(installed)) {}

Autostart Autostart::standard() {
    const std::optional<fs::path> running = runningProgram();
    return forPrograms(AppPaths::configHome(),
                       running ? running->parent_path() : fs::path(TESSELA_INSTALLED_PROGRAMS));
}

Autostart Autostart::forPrograms(fs::path configHome, const fs::path& programs) {
    const fs::path installed = (programs / TESSELA_AUTOSTART_FROM_PROGRAMS).lexically_normal();
    if (lasting(programs)) {
        return {std::move(configHome), programs / "tessela", installed};
    }
    logMessage(LogLevel::warning,
               {"Open at login names the installed program, not the one in ", programs,
                ": others may write there"},
               LogArea::app);
    return {std::move(configHome), fs::path(TESSELA_INSTALLED_PROGRAMS) / "tessela", installed};
}

bool Autostart::lasting(const fs::path& folder) {
    if (!folder.is_absolute()) {
        return false;
    }
    for (fs::path at = folder.lexically_normal();; at = at.parent_path()) {
        struct stat info {};
        if (::lstat(at.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            (info.st_uid != 0 && info.st_uid != ::geteuid()) ||
            (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return false;
        }
        if (at == at.parent_path()) {
            return true;
        }
    }
}

std::string Autostart::text() const {
    const std::string exec = "Exec=" + execArgument(program_.string());
    std::optional<std::string> installed;
    if (!installed_.empty()) {
        try {
            installed = posix::readFileIfExists(installed_);
        } catch (const std::exception&) {
            logCaught(LogLevel::warning, {"Could not read the installed autostart entry"},
                      LogArea::app);
        }
    }
    if (installed && installed->starts_with("[Desktop Entry]\n")) {
        // As installed, but for the program it starts: the one beside this, which the tests'
        // build tree and a moved installation have elsewhere.
        std::istringstream lines(*installed);
        std::ostringstream entry;
        std::string line;
        while (std::getline(lines, line)) {
            entry << (isExecKey(line) ? exec : line) << '\n';
        }
        return entry.str();
    }
    std::ostringstream entry;
    entry << "[Desktop Entry]\n"
          << "Type=Application\n"
          << "Name=Tessela\n"
          << "Comment=Locks your open items when you walk away\n"
          << exec << "\n"
          << "Icon=tessela\n"
          << "Terminal=false\n"
          << "X-GNOME-Autostart-enabled=true\n";
    return entry.str();
}

bool Autostart::enabled() const {
    // Followed when it is a link (a dotfiles folder's): the session follows it too.
    struct stat info {};
    if (::stat(entry().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    std::optional<std::string> content;
    try {
        content = posix::readFileIfExists(entry());
    } catch (const std::exception&) {
        return false;
    }
    if (!content) {
        return false;
    }
    std::istringstream lines(*content);
    std::string line;
    while (std::getline(lines, line)) {
        std::erase_if(line, [](char character) { return character == ' ' || character == '\t'; });
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") {
            return false;
        }
    }
    return true;
}

void Autostart::setEnabled(bool enabled) const {
    if (enabled) {
        // A new file renamed over the place: a link there is replaced, never followed.
        FileSystem::real().writePrivately(entry(), text());
        return;
    }
    if (::unlink(entry().c_str()) != 0 && errno != ENOENT) {
        throw std::system_error(errno, std::generic_category(),
                                "Could not remove " + entry().string());
    }
}

}  // namespace tessela
