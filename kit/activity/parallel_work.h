#pragma once

#include <cstddef>
#include <functional>

namespace tessela {

// Runs work(index) for every index below `count` on up to `streams` threads, the calling thread
// among them, each taking the next index as it finishes one. The first exception stops new work
// from starting; once every thread has finished, it is rethrown on the calling thread.
void forEachInParallel(std::size_t count, int streams,
                       const std::function<void(std::size_t)>& work);

}  // namespace tessela
