#include "dravio/pipeline.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>

namespace dravio {

namespace {

// A bounded queue of frames between one producer and one consumer.
class FrameQueue {
public:
    explicit FrameQueue(size_t depth) : depth_(std::max<size_t>(depth, 1)) {}

    // Blocks while the queue is full; false when the consumer has stopped.
    bool push(cv::Mat frame) {
        std::unique_lock<std::mutex> lock(mutex_);
        not_full_.wait(lock, [&] { return cancelled_ || frames_.size() < depth_; });
        if (cancelled_) return false;
        frames_.push_back(std::move(frame));
        not_empty_.notify_one();
        return true;
    }

    // The producer is done, with the failure that ended it if any.
    void close(std::exception_ptr error) {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        error_ = std::move(error);
        not_empty_.notify_one();
    }

    // The consumer stops: the producer's next push returns false.
    void cancel() {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        not_full_.notify_one();
    }

    enum class Pop { frame, timeout, end };

    Pop pop(cv::Mat& out, std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!not_empty_.wait_for(lock, wait, [&] { return closed_ || !frames_.empty(); })) return Pop::timeout;
        if (frames_.empty()) return Pop::end;
        out = std::move(frames_.front());
        frames_.pop_front();
        not_full_.notify_one();
        return Pop::frame;
    }

    std::exception_ptr error() {
        std::lock_guard<std::mutex> lock(mutex_);
        return error_;
    }

private:
    const size_t depth_;
    std::mutex mutex_;
    std::condition_variable not_empty_, not_full_;
    std::deque<cv::Mat> frames_;
    bool closed_ = false, cancelled_ = false;
    std::exception_ptr error_;
};

// One source's producer thread and its queue.
struct Lane {
    explicit Lane(size_t depth) : queue(depth) {}
    FrameQueue queue;
    std::thread worker;
};

// Stops and joins the producers still running when the consumer leaves,
// normally or not.
class Lanes {
public:
    ~Lanes() {
        for (auto& lane : running_) lane->queue.cancel();
        for (auto& lane : running_)
            if (lane->worker.joinable()) lane->worker.join();
    }
    std::deque<std::unique_ptr<Lane>>& running() { return running_; }

private:
    std::deque<std::unique_ptr<Lane>> running_;
};

}  // namespace

void run_ordered_pipelines(size_t sources, const std::function<void(size_t, const Emit&)>& produce,
                           const std::function<void(cv::Mat&)>& consume, size_t lanes, size_t depth) {
    Lanes workers;
    auto& running = workers.running();
    size_t started = 0;
    for (size_t source = 0; source < sources; ++source) {
        for (; started < sources && running.size() < std::max<size_t>(lanes, 1); ++started) {
            auto& lane = *running.emplace_back(std::make_unique<Lane>(depth));
            lane.worker = std::thread([&produce, &queue = lane.queue, index = started] {
                std::exception_ptr error;
                try {
                    produce(index, [&](cv::Mat frame) { return queue.push(std::move(frame)); });
                } catch (...) {
                    error = std::current_exception();
                }
                queue.close(std::move(error));
            });
        }
        Lane& lane = *running.front();
        cv::Mat frame;
        for (;;) {
            common::check_interrupt();
            const auto state = lane.queue.pop(frame, std::chrono::milliseconds(100));
            if (state == FrameQueue::Pop::timeout) continue;
            if (state == FrameQueue::Pop::end) break;
            consume(frame);
        }
        lane.worker.join();
        if (auto error = lane.queue.error()) std::rethrow_exception(error);
        running.pop_front();
    }
}

void run_pipeline(const std::function<void(const Emit&)>& produce, const std::function<void(cv::Mat&)>& consume,
                  size_t depth) {
    run_ordered_pipelines(
        1, [&](size_t, const Emit& emit) { produce(emit); }, consume, 1, depth);
}

}  // namespace dravio
