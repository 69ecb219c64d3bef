#include "journal/recovery_report.h"

#include <vector>

namespace tessela {

namespace {

std::string items(int count) {
    return count == 1 ? "1 item" : std::to_string(count) + " items";
}

}  // namespace

std::optional<RecoveryNotice> RecoveryReport::notice() const {
    std::vector<std::string> lines;
    if (finishedLocks >= 1) {
        lines.push_back("It finished locking " + items(finishedLocks) + ".");
    }
    if (discardedLocks == 1) {
        lines.emplace_back("It stopped 1 unfinished lock and left that original unchanged.");
    } else if (discardedLocks > 1) {
        lines.push_back("It stopped " + std::to_string(discardedLocks) +
                        " unfinished locks and left those originals unchanged.");
    }
    if (finishedRestores >= 1) {
        lines.push_back("It finished removing the lock from " + items(finishedRestores) + ".");
    }
    if (discardedRestores == 1) {
        lines.emplace_back("It stopped 1 unfinished lock removal. That item is still locked.");
    } else if (discardedRestores > 1) {
        lines.push_back("It stopped " + std::to_string(discardedRestores) +
                        " unfinished lock removals. Those items are still locked.");
    }
    if (keptChangedOriginals == 1) {
        lines.emplace_back(
            "1 original changed after Tessela locked it, so Tessela kept it next to the locked "
            "copy.");
    } else if (keptChangedOriginals > 1) {
        lines.push_back(std::to_string(keptChangedOriginals) +
                        " originals changed after Tessela locked them, so Tessela kept them next "
                        "to the locked copies.");
    }
    if (keptForLater >= 1) {
        lines.push_back("It could not finish " +
                        (keptForLater == 1 ? std::string("1 interrupted job")
                                           : std::to_string(keptForLater) + " interrupted jobs") +
                        " yet and will try again next time it opens.");
    }
    if (indexWasDamaged) {
        lines.emplace_back(
            "Tessela's list of locked items was damaged, so it set the list aside and started a "
            "new one. Your locked items are safe and appear in the list again when you unlock "
            "them.");
    }
    if (journalWasDamaged) {
        lines.emplace_back(
            "Tessela's record of unfinished work was damaged, so it set the record aside and "
            "changed nothing.");
    }
    if (lines.empty()) {
        return std::nullopt;
    }
    RecoveryNotice result;
    for (const std::string& line : lines) {
        result.body += (result.body.empty() ? "" : " ") + line;
    }
    if (indexWasDamaged || journalWasDamaged) {
        result.title = "Tessela set a damaged file aside";
    } else if (finishedLocks + discardedLocks + finishedRestores + discardedRestores +
                   keptChangedOriginals ==
               0) {
        result.title = "Tessela has unfinished work";
    } else {
        result.title = "Tessela finished interrupted work";
    }
    return result;
}

}  // namespace tessela
