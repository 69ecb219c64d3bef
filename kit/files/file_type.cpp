#include "files/file_type.h"

#include <sys/stat.h>

namespace tessela {

std::string_view fileTypeName(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return "regular";
        case S_IFDIR:
            return "directory";
        case S_IFLNK:
            return "symbolicLink";
        case S_IFSOCK:
            return "socket";
        case S_IFIFO:
            return "fifo";
        case S_IFCHR:
            return "characterSpecial";
        case S_IFBLK:
            return "blockSpecial";
        default:
            return "unknown";
    }
}

}  // namespace tessela
