#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>

#include "model/questions.h"

namespace tessela {

// The small floating window shown during long work (locking, removing a lock): a progress bar
// (moving while nothing is counted, filling with the bytes copied otherwise), the message, the
// share done and a "Cancel" button. It is made once and reused; it floats above other windows,
// appears on the screen the pointer is on, and never takes the keyboard from the user's work
// when it appears. Once the user brings it to the front, Tab reaches "Cancel" and Escape
// presses it.
class ProgressPanel final : public ProgressDisplay {
  public:
    // How long a last word ("Cancelled. Nothing was changed.") stays before the panel goes.
    static constexpr std::chrono::milliseconds lingering{2000};

    ProgressPanel();
    ~ProgressPanel() override;
    ProgressPanel(const ProgressPanel&) = delete;
    ProgressPanel& operator=(const ProgressPanel&) = delete;

    void show(const QString& message, std::function<void()> onCancel = {}) override;
    void hide() override;
    void showLastWord(const QString& message) override;
    [[nodiscard]] bool isShown() const override;
    void setShown(bool shown) override;

    [[nodiscard]] ProgressState& state() noexcept override { return state_; }
    // The window itself, once it was first shown; none before.
    [[nodiscard]] QWidget* window() const noexcept { return window_.get(); }

  private:
    ProgressState state_;
    std::unique_ptr<QWidget> window_;
    QTimer lastWord_;
};

}  // namespace tessela
