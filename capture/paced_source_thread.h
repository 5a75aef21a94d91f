#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// The thread of a source that makes its own frames: frame 0, 1, 2 ... readied
// one after the other and each handed over at its due time, until stopped or
// until the source cannot go on. Frames are made by index; the clock only
// decides when each is handed over, so a run's pictures never depend on timing.
//
// start and stop belong to one thread (the GUI thread). After stop returns no
// frame is readied or handed over any more.
class PacedSourceThread {
public:
    using Duration = std::chrono::steady_clock::duration;
    // Readies frame `index` and says how long after the previous one it is due
    // (ignored for frame 0, which is due at once); empty when the stream cannot
    // go on, which ends the thread.
    using ReadyFrame = std::function<std::optional<Duration>(std::int64_t index)>;
    // Hands frame `index` over (to the mailbox) at its due time.
    using HandOver = std::function<void(std::int64_t index)>;

    // Readies nothing; frames come one period of `framesPerSecond` apart.
    static ReadyFrame steadyPace(int framesPerSecond);

    PacedSourceThread() = default;
    ~PacedSourceThread();
    PacedSourceThread(const PacedSourceThread&) = delete;
    PacedSourceThread& operator=(const PacedSourceThread&) = delete;

    // Starts a new thread from frame 0; does nothing while one runs. A thread
    // that ended by itself is joined first.
    void start(ReadyFrame ready, HandOver handOver);

    // Stops the thread and joins it. Harmless when not running.
    void stop();

    // True from start until stop, or until the thread ended by itself.
    bool running() const;

    // True while a stop is under way: lets a long ReadyFrame (a blocking read)
    // give up early. Any thread.
    const std::atomic<bool>& stopRequested() const { return stopRequested_; }

private:
    void run(ReadyFrame ready, HandOver handOver);
    // Waits until `due`; false when a stop came first.
    bool waitUntil(std::chrono::steady_clock::time_point due);

    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::atomic<bool> stopRequested_{false};
    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
};
