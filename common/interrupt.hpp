// Stopping long work of the core when the user presses Ctrl-C.
//
// The core knows nothing of Python: its long loops call check_interrupt()
// between frames or files, and the binding layer installs, for the thread
// that runs the core call, a poll that asks the interpreter whether a signal
// handler wants the work to stop.
#pragma once

#include <chrono>
#include <exception>

namespace common {

// Thrown by check_interrupt(); the binding layer raises the exception the
// signal handler left (KeyboardInterrupt) in its place.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Throws Interrupted when the poll of this thread says stop. Polls at most
// every 50 ms, so it may be called per frame; free on threads without a poll
// (worker threads, and work started outside the binding layer).
void check_interrupt();

// Installs `poll` (true: stop) for the current thread while it lives; a null
// poll installs none. Restores the previous one when it ends.
class InterruptPoll {
public:
    using Poll = bool (*)();
    explicit InterruptPoll(Poll poll) noexcept;
    ~InterruptPoll();
    InterruptPoll(const InterruptPoll&) = delete;
    InterruptPoll& operator=(const InterruptPoll&) = delete;

private:
    Poll previous_;
    std::chrono::steady_clock::time_point previous_time_;
};

}  // namespace common
