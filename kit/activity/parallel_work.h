#pragma once

#include <cstddef>
#include <functional>
#include <thread>

namespace tessela {

// Starts one helper thread running the given function. The default starts a std::thread;
// tests pass one that fails as a system out of threads does.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// Runs work(index) for every index below `count` on up to `streams` threads, the calling thread
// among them, each taking the next index as it finishes one. The first exception stops new work
// from starting; once every thread has finished, it is rethrown on the calling thread.
//
// A helper thread that cannot be started is simply not there: the work runs on the threads that
// did start (at least the calling one), and every started thread is joined whichever way the
// call ends.
void forEachInParallel(std::size_t count, int streams, const std::function<void(std::size_t)>& work,
                       const ThreadStarter& startThread = {});

}  // namespace tessela
