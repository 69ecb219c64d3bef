#include "records/item_marker.h"

#include <fcntl.h>
#include <unistd.h>

#include "files/file_io.h"
#include "posix/system_error.h"
#include "posix/unique_fd.h"
#include "text/log.h"

namespace tessela {

std::string ItemMarker::text() const {
    nlohmann::json object = {
        {"formatVersion", formatVersion},
        {"kind", rawValue(kind)},
    };
    // A name that is not UTF-8 is kept exactly beside its text, so the content is found and
    // restored under its own name.
    JSONCodec::putBytes(object, "name", name);
    if (mode) {
        object["mode"] = *mode;
    }
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void ItemMarker::write(const std::filesystem::path& volumeRoot) const {
    const std::filesystem::path file = volumeRoot / fileName;
    UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) {
        throwLastError("open", file);
    }
    posix::writeAll(fd.get(), text(), file);
}

std::optional<ItemMarker> ItemMarker::read(const std::filesystem::path& volumeRoot) {
    try {
        const std::optional<std::string> text = posix::readFileIfExists(volumeRoot / fileName);
        return text ? decode(*text) : std::nullopt;
    } catch (const std::exception&) {
        logCaught(LogLevel::info, {"Could not read the item marker in ", volumeRoot});
        return std::nullopt;
    }
}

std::optional<ItemMarker> ItemMarker::decode(std::string_view text) {
    try {
        const nlohmann::json object = JSONCodec::parse(text);
        const JsonFields fields(object);
        ItemMarker marker;
        marker.formatVersion = fields.integer("formatVersion");
        const std::optional<LockedItem::Kind> kind = kindFromRawValue(fields.string("kind"));
        if (!kind) {
            return std::nullopt;
        }
        marker.kind = *kind;
        marker.name = fields.bytes("name");
        if (const std::optional<std::int64_t> mode = fields.optionalInteger("mode")) {
            if (*mode < 0 || *mode > 07777) {
                return std::nullopt;
            }
            marker.mode = static_cast<std::uint32_t>(*mode);
        }
        return marker;
    } catch (const std::exception&) {
        logCaught(LogLevel::info, {"An item marker does not decode"});
        return std::nullopt;
    }
}

bool ItemMarker::isSafeName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace tessela
