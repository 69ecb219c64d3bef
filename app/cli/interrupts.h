#pragma once

#include <memory>

#include "activity/cancel_token.h"

namespace tessela::cli {

// Turns Ctrl-C (SIGINT) and SIGTERM into a cancellation of `token` for as long as the object
// lives, so a long lock or lock removal stops cleanly and says "Cancelled. Nothing was
// changed." The signals are taken by one waiting thread; every other thread keeps them blocked.
// Construct it before starting any other thread.
class Interrupts {
  public:
    explicit Interrupts(CancelToken& token);
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    // Whether a signal arrived.
    [[nodiscard]] bool received() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tessela::cli
