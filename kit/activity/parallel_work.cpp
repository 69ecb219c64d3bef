#include "activity/parallel_work.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tessela {

void forEachInParallel(std::size_t count, int streams,
                       const std::function<void(std::size_t)>& work) {
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
    std::vector<std::thread> helpers;
    for (int helper = 1; helper < streams && static_cast<std::size_t>(helper) < count; ++helper) {
        helpers.emplace_back(stream);
    }
    stream();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    if (firstError) {
        std::rethrow_exception(firstError);
    }
}

}  // namespace tessela
