// The threads that run requests off the listeners. A thread stays for the next request once
// its own is answered (starting a thread per request cost more than a short request), and
// ends after it has had nothing to do for a while. At most `limit` requests run at once;
// the ones beyond wait in a queue, first come first served, at most `queueLimit` of them.
//
// Requests given the same order key (a page's session) run one after another in the order
// given: a request waiting for its session's previous call waits in the queue, not on a
// thread, so one page's calls never take the threads another page's calls need.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class RequestWorkers {
public:
    static constexpr const char* threadName = "RequestWorker";

    RequestWorkers(int limit, std::size_t queueLimit,
                   std::chrono::milliseconds idleTime = std::chrono::seconds(30));
    // Ends the idle threads and waits for every thread to end, once the queue is served; a
    // program that may end with a job still running keeps its workers to the end instead.
    ~RequestWorkers();
    RequestWorkers(const RequestWorkers&) = delete;
    RequestWorkers& operator=(const RequestWorkers&) = delete;

    // Runs `job` on a worker thread, at once or after the jobs queued before it and, with a
    // non-empty `orderKey`, after every job given the same key before it. False when
    // `queueLimit` jobs wait already or no thread can be started; the job is then not run.
    bool run(std::function<void()> job, const std::string& orderKey = {});

    // Waits up to `limit` until no job runs or waits; false when one still does.
    bool waitIdle(std::chrono::milliseconds limit);

    int threads();  // threads alive, busy or idle

private:
    struct Job {
        std::function<void()> work;
        std::string orderKey;
    };
    // An idle thread, waiting for a job of its own.
    struct Idle {
        std::condition_variable wake;
        Job job;
        bool given = false;
    };

    // Both with lock_ held.
    bool start(Job& job);
    void finished(const std::string& orderKey);

    void serve(Job job);

    const int limit_;
    const std::size_t queueLimit_;
    const std::chrono::milliseconds idleTime_;
    std::mutex lock_;
    std::condition_variable done_;
    // Guarded by lock_.
    std::vector<Idle*> idle_;  // the last to become idle is the first to work again
    std::deque<Job> queue_;    // waiting for a thread, oldest first
    // Per order key with a job running or queued: the jobs given after it, oldest first.
    std::unordered_map<std::string, std::deque<Job>> behind_;
    std::size_t waiting_ = 0;  // jobs in queue_ and behind_
    int busy_ = 0;             // jobs on a thread and not yet done
    int threads_ = 0;          // threads alive
    bool ending_ = false;
};
