#include "activity/activity.h"

#include <algorithm>

#include "errors/tessela_error.h"

namespace tessela {

std::vector<std::string> Activity::descriptions() const {
    std::vector<std::string> result;
    result.reserve(running_.size());
    for (const Entry& entry : running_) {
        result.push_back(entry.description);
    }
    return result;
}

Uuid Activity::begin(std::string description) {
    const Uuid id = Uuid::random();
    running_.push_back({id, std::move(description)});
    return id;
}

void Activity::end(const Uuid& id) {
    // A stable partition keeps the survivors in the order they began.
    const auto removed = std::stable_partition(running_.begin(), running_.end(),
                                               [&](const Entry& entry) { return entry.id != id; });
    running_.erase(removed, running_.end());
}

std::optional<std::string> Activity::passwordChangeRefusal() const {
    if (!isIdle()) {
        return passwordChangeRefusal(descriptions());
    }
    if (quitting_) {
        return std::string(quittingRefusal);
    }
    return std::nullopt;
}

std::string Activity::passwordChangeRefusal(const std::vector<std::string>& descriptions) {
    if (descriptions.empty()) {
        return "Wait until Tessela finishes, then try again.";
    }
    return "Wait until Tessela finishes " + TesselaError::list(descriptions) + ", then try again.";
}

std::string Activity::quitQuestion(const std::vector<std::string>& descriptions) {
    if (descriptions.empty()) {
        return "Tessela is still working. Quit when it finishes?";
    }
    return "Tessela is still " + TesselaError::list(descriptions) + ". Quit when it finishes?";
}

}  // namespace tessela
