#include "records/locked_item.h"

#include "records/base64.h"

namespace tessela {

std::string_view rawValue(LockedItem::Kind kind) {
    return kind == LockedItem::Kind::file ? "file" : "folder";
}

std::optional<LockedItem::Kind> kindFromRawValue(std::string_view text) {
    if (text == "file") {
        return LockedItem::Kind::file;
    }
    if (text == "folder") {
        return LockedItem::Kind::folder;
    }
    return std::nullopt;
}

std::string_view rawValue(LockedItem::Stage stage) {
    return stage == LockedItem::Stage::originalPending ? "originalPending" : "complete";
}

std::optional<LockedItem::Stage> stageFromRawValue(std::string_view text) {
    if (text == "originalPending") {
        return LockedItem::Stage::originalPending;
    }
    if (text == "complete") {
        return LockedItem::Stage::complete;
    }
    return std::nullopt;
}

nlohmann::json LockedItem::toJson() const {
    nlohmann::json object = {
        {"id", id.string()},
        {"kind", rawValue(kind)},
        {"createdAt", JSONCodec::Encoder::date(createdAt)},
        {"passwordGeneration", passwordGeneration},
        {"stage", rawValue(stage)},
    };
    // Names and paths are bytes; any that are not UTF-8 are kept exactly beside their text.
    JSONCodec::putBytes(object, "displayName", displayName);
    JSONCodec::putBytes(object, "lastKnownPath", lastKnownPath);
    if (bookmark) {
        object["bookmark"] = base64::encode(*bookmark);
    }
    if (originalPath) {
        JSONCodec::putBytes(object, "originalPath", *originalPath);
    }
    if (contentSize) {
        object["contentSize"] = *contentSize;
    }
    return object;
}

LockedItem LockedItem::fromJson(const nlohmann::json& object) {
    const JsonFields fields(object);
    LockedItem item;
    item.id = fields.uuid("id");
    item.displayName = fields.bytes("displayName");
    const std::optional<Kind> kind = kindFromRawValue(fields.string("kind"));
    if (!kind) {
        throw DecodingError("unknown kind");
    }
    item.kind = *kind;
    if (const std::optional<std::string> text = fields.optionalString("bookmark")) {
        item.bookmark = base64::decode(*text);
        if (!item.bookmark) {
            throw DecodingError("bookmark is not Base64");
        }
    }
    item.lastKnownPath = fields.bytes("lastKnownPath");
    item.createdAt = fields.date("createdAt");
    item.passwordGeneration = fields.integer("passwordGeneration");
    const std::optional<Stage> stage = stageFromRawValue(fields.string("stage"));
    if (!stage) {
        throw DecodingError("unknown stage");
    }
    item.stage = *stage;
    item.originalPath = fields.optionalBytes("originalPath");
    item.contentSize = fields.optionalInteger("contentSize");
    return item;
}

}  // namespace tessela
