#include "journal/journal_entry.h"

namespace tessela {

std::string_view rawValue(JournalEntry::Kind kind) {
    return kind == JournalEntry::Kind::lock ? "lock" : "restore";
}

std::optional<JournalEntry::Kind> journalKindFromRawValue(std::string_view text) {
    if (text == "lock") {
        return JournalEntry::Kind::lock;
    }
    if (text == "restore") {
        return JournalEntry::Kind::restore;
    }
    return std::nullopt;
}

namespace {

nlohmann::json identityJson(const FileIdentity& identity) {
    return {{"inode", identity.inode},
            {"birthSeconds", identity.birthSeconds},
            {"birthNanoseconds", identity.birthNanoseconds}};
}

// Throws DecodingError.
FileIdentity identityFromJson(const nlohmann::json& object) {
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

}  // namespace

nlohmann::json JournalEntry::toJson() const {
    nlohmann::json object = {{"id", id.string()}, {"kind", rawValue(kind)}};
    // Paths are bytes; any that are not UTF-8 are kept exactly beside their text, so recovery
    // acts on the very names the operation made.
    JSONCodec::putBytes(object, "originalPath", originalPath);
    JSONCodec::putBytes(object, "partialPath", partialPath);
    JSONCodec::putBytes(object, "finalPath", finalPath);
    if (lockedIdentity) {
        object["lockedIdentity"] = identityJson(*lockedIdentity);
    }
    if (lockedAt) {
        object["lockedAt"] = JSONCodec::Encoder::date(*lockedAt);
    }
    if (deletingPath) {
        JSONCodec::putBytes(object, "deletingPath", *deletingPath);
    }
    if (restoredIdentity) {
        object["restoredIdentity"] = identityJson(*restoredIdentity);
    }
    if (originalIdentity) {
        object["originalIdentity"] = identityJson(*originalIdentity);
    }
    if (originalFingerprint) {
        object["originalFingerprint"] = *originalFingerprint;
    }
    if (originalChangedUntil) {
        object["originalChangedUntil"] = *originalChangedUntil;
    }
    if (deletingVerified) {
        object["deletingVerified"] = true;
    }
    return object;
}

JournalEntry JournalEntry::fromJson(const nlohmann::json& object) {
    const JsonFields fields(object);
    JournalEntry entry;
    entry.id = fields.uuid("id");
    const std::optional<Kind> kind = journalKindFromRawValue(fields.string("kind"));
    if (!kind) {
        throw DecodingError("unknown kind");
    }
    entry.kind = *kind;
    entry.originalPath = fields.bytes("originalPath");
    entry.partialPath = fields.bytes("partialPath");
    entry.finalPath = fields.bytes("finalPath");
    if (const auto found = object.find("lockedIdentity");
        found != object.end() && !found->is_null()) {
        entry.lockedIdentity = identityFromJson(*found);
    }
    if (const std::optional<std::string> text = fields.optionalString("lockedAt")) {
        entry.lockedAt = JSONCodec::parseDate(*text);
    }
    entry.deletingPath = fields.optionalBytes("deletingPath");
    for (const auto& [key, field] : {std::pair{"restoredIdentity", &entry.restoredIdentity},
                                     std::pair{"originalIdentity", &entry.originalIdentity}}) {
        if (const auto found = object.find(key); found != object.end() && !found->is_null()) {
            *field = identityFromJson(*found);
        }
    }
    entry.originalFingerprint = fields.optionalString("originalFingerprint");
    entry.originalChangedUntil = fields.optionalInteger("originalChangedUntil");
    if (const auto found = object.find("deletingVerified");
        found != object.end() && !found->is_null()) {
        entry.deletingVerified = fields.boolean("deletingVerified");
    }
    return entry;
}

}  // namespace tessela
