#include "journal/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "records/json_codec.h"

namespace tessela {

std::optional<FileIdentity> FileIdentity::of(const std::filesystem::path& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &info) != 0 ||
        (info.stx_mask & STATX_INO) == 0) {
        return std::nullopt;
    }
    FileIdentity identity;
    identity.inode = info.stx_ino;
    if ((info.stx_mask & STATX_BTIME) != 0) {
        identity.birthSeconds = info.stx_btime.tv_sec;
        identity.birthNanoseconds = info.stx_btime.tv_nsec;
    }
    return identity;
}

nlohmann::json FileIdentity::toJson() const {
    return {
        {"inode", inode}, {"birthSeconds", birthSeconds}, {"birthNanoseconds", birthNanoseconds}};
}

FileIdentity FileIdentity::fromJson(const nlohmann::json& object) {
    const JsonFields fields(object);
    FileIdentity identity;
    // Inode numbers use all 64 bits; the stored number is read back unsigned.
    const auto found = object.find("inode");
    if (found == object.end() || !found->is_number_integer() ||
        (!found->is_number_unsigned() && found->get<std::int64_t>() < 0)) {
        throw DecodingError("expected an inode number");
    }
    identity.inode = found->get<std::uint64_t>();
    identity.birthSeconds = fields.integer("birthSeconds");
    identity.birthNanoseconds = fields.integer("birthNanoseconds");
    return identity;
}

}  // namespace tessela
