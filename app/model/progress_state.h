#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace tessela {

// What the progress display shows: the message of the work going on, how much of its content is
// done when that is known, and what its "Cancel" does (nothing when none is set). Observable;
// main thread only.
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
    // What "Cancel" does: the action when one is set, nothing otherwise.
    void cancel() const;

  Q_SIGNALS:
    void changed();

  private:
    QString message_;
    std::optional<Bytes> bytes_;
    std::function<void()> onCancel_;
};

}  // namespace tessela
