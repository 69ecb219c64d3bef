#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "model/ticks.h"

namespace tessela::testing {

// Timers a test drives: advance() moves time on and runs the ticks that fall due, in time order.
class ManualTicks : public Ticks {
  public:
    std::unique_ptr<Ticker> every(std::chrono::milliseconds interval,
                                  std::function<void()> onTick) override {
        auto entry = std::make_shared<Entry>(Entry{interval, now_ + interval, std::move(onTick)});
        entries_.push_back(entry);
        return std::make_unique<Handle>(entry);
    }

    void advance(std::chrono::milliseconds duration) {
        const std::chrono::milliseconds until = now_ + duration;
        for (;;) {
            std::erase_if(entries_, [](const auto& entry) { return !entry->alive; });
            const auto next = std::ranges::min_element(
                entries_, {}, [](const auto& entry) { return entry->next; });
            if (next == entries_.end() || (*next)->next > until) {
                break;
            }
            const std::shared_ptr<Entry> due = *next;
            now_ = due->next;
            due->next += due->interval;
            const std::function<void()> onTick = due->onTick;  // the tick may end its ticker
            onTick();
        }
        now_ = until;
    }

    [[nodiscard]] std::size_t running() const {
        return static_cast<std::size_t>(
            std::ranges::count_if(entries_, [](const auto& entry) { return entry->alive; }));
    }

  private:
    struct Entry {
        std::chrono::milliseconds interval;
        std::chrono::milliseconds next;
        std::function<void()> onTick;
        bool alive = true;
    };
    class Handle : public Ticker {
      public:
        explicit Handle(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
        ~Handle() override { entry_->alive = false; }
        Handle(const Handle&) = delete;
        Handle& operator=(const Handle&) = delete;

      private:
        std::shared_ptr<Entry> entry_;
    };

    std::vector<std::shared_ptr<Entry>> entries_;
    std::chrono::milliseconds now_{0};
};

}  // namespace tessela::testing
