#include "support/temp_folder.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace tessela::testing {

namespace {

// Gives every folder of a tree owner rwx (before descending into it), so that folders a test
// made unreadable or read-only can be removed.
void makeTreeRemovable(const std::filesystem::path& folder) {
    ::chmod(folder.c_str(), 0700);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.is_directory(error) && !entry.is_symlink(error)) {
            makeTreeRemovable(entry.path());
        }
    }
}

}  // namespace

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessela-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    // Resolve symbolic links (a temp folder reached through a link) so paths compare plainly.
    path_ = std::filesystem::canonical(pattern);
}

TempFolder::~TempFolder() {
    makeTreeRemovable(path_);
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (std::filesystem::exists(path_, error)) {
        // A tree deeper than a path can be long: rm works its way down without whole paths.
        const char* const arguments[] = {"rm", "-rf", "--", path_.c_str(), nullptr};
        pid_t child = 0;
        if (::posix_spawn(&child, "/bin/rm", nullptr, nullptr, const_cast<char* const*>(arguments),
                          environ) == 0) {
            int status = 0;
            (void)::waitpid(child, &status, 0);
        }
    }
}

void writeFile(const std::filesystem::path& file, std::string_view content) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!stream) {
        throw std::runtime_error("could not write " + file.string());
    }
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        throw std::runtime_error("could not read " + file.string());
    }
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

unsigned permissions(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        throw std::system_error(errno, std::generic_category(), "lstat " + path.string());
    }
    return info.st_mode & 07777U;
}

std::vector<std::string> namesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool runningAsRoot() {
    return ::geteuid() == 0;
}

}  // namespace tessela::testing
