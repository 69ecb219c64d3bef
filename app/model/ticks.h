#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace tessela {

// Repeating timers, for work that runs every so often while the application runs (the
// auto-lock's idle check and its retries). The application's run on Qt's timers; a test's are
// driven by hand, so half a minute of ticks takes no time at all. Main thread only.
class Ticks {
  public:
    // Ticks until destroyed.
    class Ticker {
      public:
        virtual ~Ticker() = default;
    };

    virtual ~Ticks() = default;
    // Calls `onTick` every `interval` from now on, until the ticker is destroyed.
    [[nodiscard]] virtual std::unique_ptr<Ticker> every(std::chrono::milliseconds interval,
                                                        std::function<void()> onTick) = 0;

    // Qt's timers (precise ones: a 30-second tick comes within milliseconds of its time).
    static Ticks& real();
};

}  // namespace tessela
