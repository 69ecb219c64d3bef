#include "model/progress_state.h"

#include "errors/byte_count.h"

namespace tessela {

void ProgressState::setMessage(const QString& message) {
    message_ = message;
    bytes_.reset();
    Q_EMIT changed();
}

void ProgressState::setBytes(std::int64_t done, std::int64_t total) {
    bytes_ = Bytes{done, total};
    Q_EMIT changed();
}

QString ProgressState::amount() const {
    if (!bytes_) {
        return {};
    }
    const auto percent =
        static_cast<int>(bytes_->total > 0 ? static_cast<double>(bytes_->done) * 100 /
                                                 static_cast<double>(bytes_->total)
                                           : 100);
    return QStringLiteral("%1% (%2 of %3)")
        .arg(percent)
        .arg(QString::fromStdString(formatByteCount(bytes_->done)),
             QString::fromStdString(formatByteCount(bytes_->total)));
}

void ProgressState::setOnCancel(std::function<void()> onCancel) {
    onCancel_ = std::move(onCancel);
    Q_EMIT changed();
}

void ProgressState::cancel() const {
    // A copy runs: the action may set another one while it runs.
    if (const std::function<void()> action = onCancel_) {
        action();
    }
}

}  // namespace tessela
