#pragma once

#include <qcoro/qcorotask.h>
#include <QObject>

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "activity/cancel_token.h"
#include "activity/lock_step.h"
#include "model/worker.h"

namespace tessela {

// One engine call on a locked item (a lock, an unlock, a lock again, a lock removal) while it
// runs on the worker, in the manner of a KDE KJob: started once, cancellable at any time,
// reporting its steps and the bytes its copy has done, and ending with a result its starter
// awaits. The model keeps every job that has not ended in one list, which quitting waits on.
//
// Main thread only, except cancel(), which any thread may call.
class ItemJob : public QObject {
    Q_OBJECT

  public:
    enum class Kind { lock, unlock, relock, removeLock };

    // The engine call, run on the worker with the job's cancel token and its reporters (which
    // may be called from any thread).
    using Work = std::function<void(const CancelToken& cancel, const ProgressCallback& onStep,
                                    const CopyProgressCallback& onBytes)>;

    // `cancel` is the operation's token when several jobs make up one operation (one try per
    // password): cancelling it cancels them all, also those not started yet. A token of its own
    // when none.
    ItemJob(Kind kind, std::string itemName, Work work,
            std::shared_ptr<CancelToken> cancel = nullptr, QObject* parent = nullptr);

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    [[nodiscard]] const std::string& itemName() const noexcept { return itemName_; }
    [[nodiscard]] bool isFinished() const noexcept { return finished_; }

    // Queues the work on `worker`; once only.
    void start(Worker& worker);
    // Asks the engine to stop at its next check; the job then ends with TesselaError::cancelled
    // (unless it was past its point of no return, when it ends as it would have).
    void cancel() const { cancel_->cancel(); }
    // The token cancel() sets, shared with every job of the same operation.
    [[nodiscard]] const std::shared_ptr<CancelToken>& cancelToken() const noexcept {
        return cancel_;
    }
    // Resumes the caller once the job has ended: returns, or throws what the engine threw.
    QCoro::Task<> result();

  Q_SIGNALS:
    void stepChanged(tessela::LockStep step);
    // Ten times a second at most while the copy runs, and always at its end.
    void bytesChanged(qint64 done, qint64 total);
    void finished();

  private:
    [[nodiscard]] ProgressCallback stepReporter();
    [[nodiscard]] CopyProgressCallback byteReporter();

    Kind kind_;
    std::string itemName_;
    Work work_;
    std::shared_ptr<CancelToken> cancel_;  // shared with the work
    bool started_ = false;
    bool finished_ = false;
    std::exception_ptr error_;
};

}  // namespace tessela
