#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace tessela {

// What the progress panel shows: the message of the work going on, how much of its content is
// done when that is known, and what its "Cancel" button does (nothing when none is set).
// Observable; main thread only.
class ProgressState : public QObject {
    Q_OBJECT

  public:
    struct Bytes {
        std::int64_t done = 0;
        std::int64_t total = 0;
    };

    [[nodiscard]] const QString& message() const noexcept { return message_; }
    // A new message is a new step: what was done of the last one no longer shows.
    void setMessage(const QString& message);
    [[nodiscard]] const std::optional<Bytes>& bytes() const noexcept { return bytes_; }
    void setBytes(std::int64_t done, std::int64_t total);
    // "45% (450.0 MB of 1.0 GB)", or empty while nothing is counted.
    [[nodiscard]] QString amount() const;
    [[nodiscard]] bool canCancel() const noexcept { return static_cast<bool>(onCancel_); }
    void setOnCancel(std::function<void()> onCancel);
    // What the button does: the action when one is set, nothing otherwise.
    void cancel() const;

  Q_SIGNALS:
    void changed();

  private:
    QString message_;
    std::optional<Bytes> bytes_;
    std::function<void()> onCancel_;
};

// The small floating window shown during long work (locking, removing a lock): a progress bar
// (moving while nothing is counted, filling with the bytes copied otherwise), the message, the
// share done and a "Cancel" button. It is made once and reused; it floats above other windows,
// appears on the screen the pointer is on, and never takes the keyboard from the user's work
// when it appears. Once the user brings it to the front, Tab reaches "Cancel" and Escape
// presses it.
class ProgressPanel {
  public:
    // How long a last word ("Cancelled. Nothing was changed.") stays before the panel goes.
    static constexpr std::chrono::milliseconds lingering{2000};

    ProgressPanel();
    ~ProgressPanel();
    ProgressPanel(const ProgressPanel&) = delete;
    ProgressPanel& operator=(const ProgressPanel&) = delete;

    // Sets the message and the cancel action and brings the panel up, without activating it.
    void show(const QString& message, std::function<void()> onCancel = {});
    // Hides the panel, unless a last word is still being shown: that one goes by itself.
    void hide();
    // Shows `message` with nothing left to cancel, then hides the panel after `lingering`
    // (sooner when the next work shows its own message).
    void showLastWord(const QString& message);
    // Whether the panel is up; putting it out of the way (false) and back (true) keeps its
    // message and cancel action.
    [[nodiscard]] bool isShown() const;
    void setShown(bool shown);

    [[nodiscard]] ProgressState& state() noexcept { return state_; }
    // The window itself, once it was first shown; none before.
    [[nodiscard]] QWidget* window() const noexcept { return window_.get(); }

  private:
    ProgressState state_;
    std::unique_ptr<QWidget> window_;
    QTimer lastWord_;
};

}  // namespace tessela
