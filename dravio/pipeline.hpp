// Overlapping the stages of the video utilities: decoding on one thread while
// encoding on another, and decoding several image files ahead, always keeping
// the order of the frames.
#pragma once

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/interrupt.hpp"

namespace dravio {

// Hands one frame to the consumer; false once the consumer has stopped, and
// the producer should then return.
using Emit = std::function<bool(cv::Mat)>;

// Worker threads worth running at once on this machine.
inline size_t worker_count() { return std::max(2u, std::thread::hardware_concurrency()); }

// Runs `produce(i, emit)` for the sources i = 0 .. sources - 1 on worker
// threads, up to `lanes` sources at once, each through its own queue of at
// most `depth` frames, and calls `consume(frame)` on the calling thread for
// every frame in order: all of source 0, then all of source 1, ...
// Ctrl-C is checked between frames (and while the consumer waits). An
// exception of a producer reaches the caller after the frames emitted before
// it were consumed; an exception of the consumer (or an interruption) stops
// the producers. Every worker is joined on every path.
void run_ordered_pipelines(size_t sources, const std::function<void(size_t, const Emit&)>& produce,
                           const std::function<void(cv::Mat&)>& consume, size_t lanes = worker_count(),
                           size_t depth = 4);

// The same with a single producer.
void run_pipeline(const std::function<void(const Emit&)>& produce, const std::function<void(cv::Mat&)>& consume,
                  size_t depth = 4);

// Calls work(0), ..., work(n - 1) on worker threads, at most `window` at a
// time, and hands each result to take(i, result) on the calling thread, in
// order, until take returns false. A failure of work(i) is rethrown when item
// i is reached; work still running is waited for on every path (std::async
// futures block when dropped).
template <typename Work, typename Take>
void ordered_async(size_t n, size_t window, Work&& work, Take&& take) {
    using Result = std::invoke_result_t<Work&, size_t>;
    std::deque<std::future<Result>> running;
    size_t next = 0;
    for (size_t i = 0; i < n; ++i) {
        for (; next < n && running.size() < std::max<size_t>(window, 1); ++next)
            running.push_back(std::async(std::launch::async, [&work, next] { return work(next); }));
        std::future<Result> done = std::move(running.front());
        running.pop_front();
        if (!take(i, done.get())) return;
    }
}

// work(0), ..., work(n - 1) computed on the worker threads, in order; the
// first failure in order is rethrown, and Ctrl-C is checked between items.
template <typename Work>
auto map_in_order(size_t n, Work&& work) {
    std::vector<std::invoke_result_t<Work&, size_t>> results;
    results.reserve(n);
    ordered_async(n, worker_count(), work, [&](size_t, auto&& result) {
        common::check_interrupt();
        results.push_back(std::move(result));
        return true;
    });
    return results;
}

}  // namespace dravio
