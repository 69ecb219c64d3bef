#include "activity/parallel_work.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "text/log.h"

namespace tessela {

void forEachInParallel(std::size_t count, int streams, const std::function<void(std::size_t)>& work,
                       const ThreadStarter& startThread) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex firstErrorLock;
    std::exception_ptr firstError;
    const auto stream = [&] {
        for (std::size_t index = next++; index < count && !failed; index = next++) {
            try {
                work(index);
            } catch (...) {
                const std::lock_guard guard(firstErrorLock);
                if (!firstError) {
                    firstError = std::current_exception();
                }
                failed = true;
            }
        }
    };
    // Joins every started helper however this scope is left: a joinable std::thread that is
    // destroyed ends the program.
    struct JoinAll {
        std::vector<std::thread> threads;
        ~JoinAll() {
            for (std::thread& thread : threads) {
                if (thread.joinable()) {
                    thread.join();
                }
            }
        }
    } helpers;
    helpers.threads.reserve(static_cast<std::size_t>(streams > 0 ? streams : 0));
    for (int helper = 1; helper < streams && static_cast<std::size_t>(helper) < count; ++helper) {
        try {
            helpers.threads.push_back(startThread ? startThread(stream) : std::thread(stream));
        } catch (const std::system_error&) {
            logCaught(LogLevel::info, {"Could not start another thread for parallel work"});
            break;  // out of threads: the ones already running share the work
        }
    }
    stream();
    for (std::thread& helper : helpers.threads) {
        helper.join();
    }
    if (firstError) {
        std::rethrow_exception(firstError);
    }
}

}  // namespace tessela
