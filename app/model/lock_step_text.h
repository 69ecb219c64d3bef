#pragma once

#include <string>

#include "activity/lock_step.h"

namespace tessela {

// What a person is told of the step a lock or a lock removal is in, in one place for every
// front end: the progress panel's sentence about the item `name` ("Encrypting Taxes…"), and the
// command line's phrase after the item's name ("Taxes: encrypting…"). Names are shown as given
// (bytes repaired by the caller). The ellipsis is the single character U+2026.
struct LockStepText {
    [[nodiscard]] static std::string sentence(LockStep step, const std::string& name);
    [[nodiscard]] static std::string phrase(LockStep step);
};

}  // namespace tessela
