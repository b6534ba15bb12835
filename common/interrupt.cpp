#include "common/interrupt.hpp"

namespace common {

namespace {

constexpr std::chrono::milliseconds kPollInterval{50};

thread_local InterruptPoll::Poll current_poll = nullptr;
thread_local std::chrono::steady_clock::time_point last_poll{};

}  // namespace

void check_interrupt() {
    if (!current_poll) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_poll < kPollInterval) return;
    last_poll = now;
    if (current_poll()) throw Interrupted();
}

InterruptPoll::InterruptPoll(Poll poll) noexcept : previous_(current_poll), previous_time_(last_poll) {
    current_poll = poll;
    last_poll = {};  // the first check polls at once
}

InterruptPoll::~InterruptPoll() {
    current_poll = previous_;
    last_poll = previous_time_;
}

}  // namespace common
