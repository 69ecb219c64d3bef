#include "secrets/stored_secret.h"

#include <algorithm>
#include <limits>
#include <set>

#include "records/json_codec.h"

namespace tessela {

StoredSecret StoredSecret::changing(const std::string& newPassword) const {
    StoredSecret changed;
    for (const std::string& earlier : history) {
        if (earlier != password) {
            changed.history.push_back(earlier);
        }
    }
    // A previous password always stands in the history when this code made it; one from a
    // record that lacks it is kept all the same, or the items still on it could never open.
    if (previous && *previous != password &&
        std::find(changed.history.begin(), changed.history.end(), *previous) ==
            changed.history.end()) {
        changed.history.push_back(*previous);
    }
    changed.history.push_back(password);
    changed.password = newPassword;
    changed.generation = generation + 1;
    changed.previous = password;
    return changed;
}

StoredSecret StoredSecret::migrated() const {
    StoredSecret done = *this;
    done.previous.reset();
    return done;
}

std::vector<std::string> StoredSecret::openCandidates() const {
    std::vector<std::string> candidates;
    std::set<std::string> seen;
    const auto add = [&](const std::string& candidate) {
        if (seen.insert(candidate).second) {
            candidates.push_back(candidate);
        }
    };
    add(password);
    if (previous) {
        add(*previous);
    }
    std::for_each(history.rbegin(), history.rend(), add);
    return candidates;
}

nlohmann::json StoredSecret::toJson() const {
    nlohmann::json object = {
        {"password", password}, {"generation", generation}, {"history", history}};
    if (previous) {
        object["previous"] = *previous;
    }
    return object;
}

StoredSecret StoredSecret::fromJson(const nlohmann::json& object) {
    const JsonFields fields(object);
    StoredSecret secret;
    secret.password = fields.string("password");
    secret.generation = fields.integer("generation");
    if (secret.generation < 1 || secret.generation == std::numeric_limits<std::int64_t>::max()) {
        throw DecodingError("a password generation from 1 on was expected");
    }
    secret.previous = fields.optionalString("previous");
    secret.history = fields.optionalStrings("history").value_or(std::vector<std::string>{});
    return secret;
}

std::string StoredSecret::compactJson() const {
    return toJson().dump();
}

StoredSecret StoredSecret::fromCompactJson(std::string_view text) {
    return fromJson(JSONCodec::parse(text));
}

}  // namespace tessela
