#pragma once

#include <filesystem>

#include "model/item_list.h"

namespace tessela {

// What the item list and the tray menu ask for. Each starts the work and returns at once; the
// list shows the outcome when the model's rows change. The application runs them on its model;
// tests record them.
class ItemActions {
  public:
    virtual ~ItemActions() = default;
    // Opens the locked item at `url`.
    virtual void unlock(const std::filesystem::path& url) = 0;
    // Locks the open item whose locked item is at `url` again.
    virtual void lock(const std::filesystem::path& url) = 0;
    // Asks, then turns the locked item at `url` back into ordinary files.
    virtual void removeLock(const std::filesystem::path& url) = 0;
    // Selects the locked item at `url` in a file manager window.
    virtual void showInFileManager(const std::filesystem::path& url) = 0;
    // Asks where a missing row's item is now.
    virtual void locate(const ItemRow& row) = 0;
    // Asks, then drops a row from the list.
    virtual void forget(const ItemRow& row) = 0;
    // Asks which files and folders to lock, then locks them.
    virtual void chooseAndLock() = 0;
    // Locks every open item.
    virtual void lockAll() = 0;
    // Opens (or brings forward) the main window.
    virtual void openWindow() = 0;
    // Quits as the application's Quit does (it may ask first).
    virtual void quit() = 0;
};

}  // namespace tessela
