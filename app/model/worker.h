#pragma once

#include <qcoro/qcorosignal.h>
#include <qcoro/qcorotask.h>
#include <QException>
#include <QFutureWatcher>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <type_traits>

namespace tessela {

// The application's serial executor: engine calls run on one thread of its own, one at a time,
// in the order they were submitted, never on the main thread. A caller on the main thread
// awaits the result (or the exception thrown, rethrown to it) without blocking the event loop,
// and is resumed once, on the main thread.
class Worker {
  public:
    Worker() {
        pool_.setMaxThreadCount(1);
        pool_.setExpiryTimeout(-1);  // the one thread stays for the life of the worker
    }
    ~Worker() { pool_.waitForDone(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Queues `work` after everything submitted before it; the future ends with it.
    template <typename Work>
    QFuture<std::invoke_result_t<Work>> submit(Work work) {
        return QtConcurrent::run(&pool_, std::move(work));
    }

    // Runs `work` on the worker after everything submitted before it.
    template <typename Work>
    QCoro::Task<std::invoke_result_t<Work>> run(Work work) {
        using Result = std::invoke_result_t<Work>;
        QFutureWatcher<Result> watcher;
        // The watcher reports the end through the caller's event loop, also for work that has
        // ended before the watcher saw it, so the signal is never missed.
        watcher.setFuture(submit(std::move(work)));
        co_await qCoro(&watcher, &QFutureWatcher<Result>::finished);
        try {
            if constexpr (std::is_void_v<Result>) {
                watcher.future().waitForFinished();
            } else {
                co_return watcher.result();
            }
        } catch (const QUnhandledException& wrapped) {
            // Qt carries what the work threw inside its own exception: the caller gets the
            // original, a TesselaError as a TesselaError.
            if (wrapped.exception()) {
                std::rethrow_exception(wrapped.exception());
            }
            throw;
        }
    }

  private:
    QThreadPool pool_;
};

}  // namespace tessela
