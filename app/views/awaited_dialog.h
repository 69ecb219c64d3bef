#pragma once

#include <QDialog>
#include <QPointer>

namespace tessela {

// A dialog of ours for as long as it is awaited, then deleted from the event loop (it may still
// be delivering the signal that ended the wait). A dialog its parent took along is already gone.
template <typename Window>
class AwaitedDialog {
  public:
    explicit AwaitedDialog(Window* window) : window_(window), alive_(window) {}
    ~AwaitedDialog() {
        if (alive_) {
            window_->deleteLater();
        }
    }
    AwaitedDialog(const AwaitedDialog&) = delete;
    AwaitedDialog& operator=(const AwaitedDialog&) = delete;

    // Whether it is still there: a wait that ended with its parent leaves none.
    [[nodiscard]] bool alive() const { return !alive_.isNull(); }
    // Used only while it is alive: before the wait, and after it when the wait ended.
    [[nodiscard]] Window* get() const { return window_; }
    Window& operator*() const { return *window_; }
    Window* operator->() const { return window_; }

    // Shows it modal without an event loop of its own: over its parent's window when it has
    // one, over the whole application otherwise. The caller awaits its finished signal.
    void showModal() const {
        if (window_->parentWidget() != nullptr) {
            window_->open();
        } else {
            window_->setWindowModality(Qt::ApplicationModal);
            window_->show();
        }
    }

  private:
    Window* window_;
    QPointer<Window> alive_;
};

}  // namespace tessela
