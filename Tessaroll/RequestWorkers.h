// The threads that run requests off the listeners. A thread stays for the next request once
// its own is answered (starting a thread per request cost more than a short request), and
// ends after it has had nothing to do for a while. At most `limit` requests run at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

class RequestWorkers {
public:
    explicit RequestWorkers(int limit,
                            std::chrono::milliseconds idleTime = std::chrono::seconds(30));
    // Ends the idle threads and waits for every thread to end, busy ones included; a
    // program that may end with a job still running keeps its workers to the end instead.
    ~RequestWorkers();
    RequestWorkers(const RequestWorkers&) = delete;
    RequestWorkers& operator=(const RequestWorkers&) = delete;

    // Runs `job` on a worker thread. False when `limit` jobs run already or no thread can
    // be started; the job is then not run.
    bool run(std::function<void()> job);

    // Waits up to `limit` until no job runs; false when one still does.
    bool waitIdle(std::chrono::milliseconds limit);

    int threads();  // threads alive, busy or idle

private:
    // An idle thread, waiting for a job of its own.
    struct Idle {
        std::condition_variable wake;
        std::function<void()> job;
    };

    void serve(std::function<void()> job);

    const int limit_;
    const std::chrono::milliseconds idleTime_;
    std::mutex lock_;
    std::condition_variable done_;
    // Guarded by lock_.
    std::vector<Idle*> idle_;  // the last to become idle is the first to work again
    int busy_ = 0;             // jobs handed out and not yet done
    int threads_ = 0;          // threads alive
    bool ending_ = false;
};
