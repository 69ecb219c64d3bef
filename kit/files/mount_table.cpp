#include "files/mount_table.h"

#include <cerrno>

#include "files/file_io.h"
#include "posix/system_error.h"

namespace tessela {

namespace {

// mountinfo escapes blank, tab, line feed and backslash as \ooo (three octal digits).
std::string unescapeMountField(std::string_view field) {
    std::string text;
    text.reserve(field.size());
    for (std::size_t index = 0; index < field.size(); ++index) {
        if (field[index] == '\\' && index + 3 < field.size()) {
            const std::string_view digits = field.substr(index + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string_view::npos) {
                text += static_cast<char>(((digits[0] - '0') << 6) | ((digits[1] - '0') << 3) |
                                          (digits[2] - '0'));
                index += 3;
                continue;
            }
        }
        text += field[index];
    }
    return text;
}

std::vector<std::string_view> splitBlanks(std::string_view line) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        const auto blank = line.find(' ');
        if (blank != 0) {
            fields.push_back(line.substr(0, blank));
        }
        if (blank == std::string_view::npos) {
            break;
        }
        line.remove_prefix(blank + 1);
    }
    return fields;
}

}  // namespace

std::vector<MountEntry> MountTable::parse(std::string_view mountInfo) {
    std::vector<MountEntry> mounts;
    while (!mountInfo.empty()) {
        const auto end = mountInfo.find('\n');
        const std::string_view line = mountInfo.substr(0, end);
        mountInfo = end == std::string_view::npos ? std::string_view() : mountInfo.substr(end + 1);
        // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL…] - FSTYPE SOURCE SUPEROPTIONS
        const std::vector<std::string_view> fields = splitBlanks(line);
        std::size_t separator = 6;
        while (separator < fields.size() && fields[separator] != "-") {
            ++separator;
        }
        if (fields.size() < 5 || separator + 2 >= fields.size()) {
            continue;
        }
        mounts.push_back({unescapeMountField(fields[4]), std::string(fields[separator + 1]),
                          unescapeMountField(fields[separator + 2])});
    }
    return mounts;
}

std::vector<MountEntry> MountTable::read() {
    const std::optional<std::string> mountInfo = posix::readFileIfExists("/proc/self/mountinfo");
    if (!mountInfo) {
        throw systemError(ENOENT, "read", "/proc/self/mountinfo");
    }
    return parse(*mountInfo);
}

}  // namespace tessela
