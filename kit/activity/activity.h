#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "records/uuid.h"

namespace tessela {

// The registry of operations in progress and the quitting state. A plain value with no lock of
// its own: its owner serialises every read and change. Entries stay in the order they began.
class Activity {
  public:
    struct Entry {
        Uuid id;
        std::string description;  // a present-participle phrase, e.g. "locking Report.pdf"
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    static constexpr const char* quittingRefusal =
        "Tessela is quitting, so it cannot start anything new.";

    [[nodiscard]] const std::vector<Entry>& running() const noexcept { return running_; }
    [[nodiscard]] bool isIdle() const noexcept { return running_.empty(); }
    [[nodiscard]] std::vector<std::string> descriptions() const;

    // Records a new operation at the end and returns its new random id.
    Uuid begin(std::string description);
    // Removes every entry with `id`, keeping the others in order; an unknown id is ignored.
    void end(const Uuid& id);

    [[nodiscard]] bool isQuitting() const noexcept { return quitting_; }
    [[nodiscard]] bool acceptsNewWork() const noexcept { return !quitting_; }
    void beginQuitting() noexcept { quitting_ = true; }
    void cancelQuitting() noexcept { quitting_ = false; }

    // Why the password cannot be changed now, or none when it can: names what runs, else the
    // quitting refusal when quitting.
    [[nodiscard]] std::optional<std::string> passwordChangeRefusal() const;

    // "Wait until Tessela finishes A, B and C, then try again."
    [[nodiscard]] static std::string passwordChangeRefusal(
        const std::vector<std::string>& descriptions);
    // "Tessela is still A and B. Quit when it finishes?"
    [[nodiscard]] static std::string quitQuestion(const std::vector<std::string>& descriptions);

  private:
    std::vector<Entry> running_;
    bool quitting_ = false;
};

}  // namespace tessela
