#pragma once

#include <QObject>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;

namespace tessela {

// What the progress panel shows: the message of the work going on and what its "Cancel"
// button does (nothing when none is set). Observable; main thread only.
class ProgressState : public QObject {
    Q_OBJECT

  public:
    [[nodiscard]] const QString& message() const noexcept { return message_; }
    void setMessage(const QString& message);
    [[nodiscard]] bool canCancel() const noexcept { return static_cast<bool>(onCancel_); }
    void setOnCancel(std::function<void()> onCancel);
    // What the button does: the action when one is set, nothing otherwise.
    void cancel() const;

  Q_SIGNALS:
    void changed();

  private:
    QString message_;
    std::function<void()> onCancel_;
};

// The small floating window shown during long work (locking, removing a lock): a busy
// indicator, the message and a "Cancel" button. It is made once and reused; it floats above
// other windows, appears on the screen the pointer is on, and never takes the keyboard from
// the user's work when it appears.
class ProgressPanel {
  public:
    ProgressPanel();
    ~ProgressPanel();
    ProgressPanel(const ProgressPanel&) = delete;
    ProgressPanel& operator=(const ProgressPanel&) = delete;

    // Sets the message and the cancel action and brings the panel up, without activating it.
    void show(const QString& message, std::function<void()> onCancel = {});
    void hide();
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
};

}  // namespace tessela
