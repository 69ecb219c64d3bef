#include "model/lock_step_text.h"

namespace tessela {

std::string LockStepText::sentence(LockStep step, const std::string& name) {
    switch (step) {
        case LockStep::preparing:
            return "Getting " + name + " ready\u2026";
        case LockStep::downloading:
            return "Downloading " + name + " from iCloud\u2026";
        case LockStep::encrypting:
            return "Encrypting " + name + "\u2026";
        case LockStep::verifying:
            return "Checking every file in " + name + "\u2026";
        case LockStep::removingOriginal:
            return "Removing the unlocked original\u2026";
        case LockStep::restoring:
            return "Restoring " + name + "\u2026";
        case LockStep::finishing:
            return "Finishing up\u2026";
    }
    return {};
}

std::string LockStepText::phrase(LockStep step) {
    switch (step) {
        case LockStep::preparing:
            return "checking";
        case LockStep::downloading:
            return "waiting for files to download";
        case LockStep::encrypting:
            return "encrypting";
        case LockStep::verifying:
            return "verifying";
        case LockStep::removingOriginal:
            return "removing the unlocked original";
        case LockStep::restoring:
            return "copying the content back out";
        case LockStep::finishing:
            return "finishing";
    }
    return {};
}

}  // namespace tessela
