#pragma once

#include <string_view>
#include <vector>

namespace tessela::fuzz {

// One entry point of the kit that reads untrusted bytes, driven with arbitrary input. A target
// returns normally for input it rejects the documented way; a property it finds broken aborts,
// and any other exception escapes (both are findings).
struct Target {
    const char* name;
    void (*run)(std::string_view input);
};

// Every target, by name: command_url, stored_secret, shared_state, item_index, journal,
// item_marker, lsof, mountinfo.
[[nodiscard]] const std::vector<Target>& targets();

}  // namespace tessela::fuzz
