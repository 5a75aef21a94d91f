#include "capture/paced_source_thread.h"

#include <algorithm>
#include <utility>

PacedSourceThread::ReadyFrame PacedSourceThread::steadyPace(int framesPerSecond) {
    const Duration period = std::chrono::duration_cast<Duration>(std::chrono::seconds(1)) / framesPerSecond;
    return [period](std::int64_t) { return std::optional<Duration>(period); };
}

PacedSourceThread::~PacedSourceThread() {
    stop();
}

void PacedSourceThread::start(ReadyFrame ready, HandOver handOver) {
    if (running())
        return;
    if (thread_.joinable())
        thread_.join();
    stopRequested_ = false;
    finished_ = false;
    thread_ = std::thread(&PacedSourceThread::run, this, std::move(ready), std::move(handOver));
}

void PacedSourceThread::stop() {
    if (!thread_.joinable())
        return;
    {
        // Under the lock, so the thread cannot miss the wake-up between its
        // check and its wait.
        std::lock_guard<std::mutex> guard(stopMutex_);
        stopRequested_ = true;
    }
    stopChanged_.notify_all();
    thread_.join();
    stopRequested_ = false;
}

bool PacedSourceThread::running() const {
    return thread_.joinable() && !finished_;
}

bool PacedSourceThread::waitUntil(std::chrono::steady_clock::time_point due) {
    std::unique_lock<std::mutex> guard(stopMutex_);
    return !stopChanged_.wait_until(guard, due, [this] { return stopRequested_.load(); });
}

void PacedSourceThread::run(ReadyFrame ready, HandOver handOver) {
    using Clock = std::chrono::steady_clock;
    auto due = Clock::now();
    for (std::int64_t index = 0; !stopRequested_; ++index) {
        const std::optional<Duration> delay = ready(index);
        if (!delay)
            break;
        if (index > 0)
            due += *delay;
        // A late frame does not cause a burst of catch-up frames.
        due = std::max(due, Clock::now());
        if (!waitUntil(due))
            break;
        handOver(index);
    }
    finished_ = true;
}
