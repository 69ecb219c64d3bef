#pragma once

#include <filesystem>

#include "views/item_actions.h"

namespace tessela::testing {

// Buttons that do nothing: for drawing and timing the windows.
class NoItemActions : public ItemActions {
  public:
    void unlock(const std::filesystem::path&) override {}
    void lock(const std::filesystem::path&) override {}
    void removeLock(const std::filesystem::path&) override {}
    void showInFileManager(const std::filesystem::path&) override {}
    void locate(const ItemRow&) override {}
    void forget(const ItemRow&) override {}
    void chooseAndLock() override {}
    void lockAll() override {}
    void openWindow() override {}
    void quit() override {}
};

}  // namespace tessela::testing
