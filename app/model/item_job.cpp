#include "model/item_job.h"

#include <qcoro/qcorosignal.h>
#include <QFutureWatcher>

#include <atomic>
#include <chrono>
#include <stdexcept>

namespace tessela {

ItemJob::ItemJob(Kind kind, std::string itemName, Work work, std::shared_ptr<CancelToken> cancel,
                 QObject* parent)
    : QObject(parent),
      kind_(kind),
      itemName_(std::move(itemName)),
      work_(std::move(work)),
      cancel_(cancel ? std::move(cancel) : std::make_shared<CancelToken>()) {}

void ItemJob::start(Worker& worker) {
    if (started_) {
        throw std::logic_error("an item job is started once");
    }
    started_ = true;
    // What the work throws is carried back as it is, never as Qt's wrapper.
    auto* watcher = new QFutureWatcher<std::exception_ptr>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        error_ = watcher->result();
        finished_ = true;
        watcher->deleteLater();
        Q_EMIT finished();
    });
    watcher->setFuture(worker.submit([work = work_, cancel = cancel_, onStep = stepReporter(),
                                      onBytes = byteReporter()]() -> std::exception_ptr {
        try {
            cancel->check();  // an operation cancelled before this try began
            work(*cancel, onStep, onBytes);
            return nullptr;
        } catch (...) {
            return std::current_exception();
        }
    }));
}

QCoro::Task<> ItemJob::result() {
    if (!finished_) {
        co_await qCoro(this, &ItemJob::finished);
    }
    if (error_) {
        std::rethrow_exception(error_);
    }
}

ProgressCallback ItemJob::stepReporter() {
    // Steps are reported on the worker; the signal goes out on the main thread. The job outlives
    // its work: the model keeps it until it has ended.
    return [this](LockStep step) {
        QMetaObject::invokeMethod(
            this, [this, step] { Q_EMIT stepChanged(step); }, Qt::QueuedConnection);
    };
}

CopyProgressCallback ItemJob::byteReporter() {
    // Called from the copier's threads, often: the job tells at most ten times a second, and
    // always of the end.
    auto lastSent = std::make_shared<std::atomic<std::int64_t>>(0);
    return [this, lastSent](std::int64_t done, std::int64_t total) {
        const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        std::int64_t before = lastSent->load();
        if (done < total &&
            (now - before < 100 || !lastSent->compare_exchange_strong(before, now))) {
            return;
        }
        QMetaObject::invokeMethod(
            this, [this, done, total] { Q_EMIT bytesChanged(done, total); }, Qt::QueuedConnection);
    };
}

}  // namespace tessela
