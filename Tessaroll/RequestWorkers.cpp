#include "Tessaroll/RequestWorkers.h"

#include <pthread.h>
#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

RequestWorkers::RequestWorkers(int limit, std::size_t queueLimit,
                               std::chrono::milliseconds idleTime)
    : limit_(limit), queueLimit_(queueLimit), idleTime_(idleTime) {}

RequestWorkers::~RequestWorkers() {
    std::unique_lock lock(lock_);
    ending_ = true;
    for (Idle* worker : idle_) worker->wake.notify_one();
    done_.wait(lock, [this] { return threads_ == 0; });
}

bool RequestWorkers::run(std::function<void()> job, const std::string& orderKey) {
    std::lock_guard lock(lock_);
    Job next{std::move(job), orderKey};
    if (!orderKey.empty()) {
        if (auto ahead = behind_.find(orderKey); ahead != behind_.end()) {
            if (waiting_ >= queueLimit_) return false;
            ahead->second.push_back(std::move(next));
            ++waiting_;
            return true;
        }
    }
    if (busy_ >= limit_ || !start(next)) {
        // Without a thread alive nobody would ever take it from the queue.
        if (waiting_ >= queueLimit_ || threads_ == 0) return false;
        queue_.push_back(std::move(next));
        ++waiting_;
    }
    if (!orderKey.empty()) behind_.try_emplace(orderKey);
    return true;
}

bool RequestWorkers::start(Job& job) {
    if (!idle_.empty()) {
        Idle* worker = idle_.back();
        idle_.pop_back();
        worker->job = std::move(job);
        worker->given = true;
        worker->wake.notify_one();
        ++busy_;
        return true;
    }
    // Handed over only once the thread exists: a thread that cannot start leaves the job.
    auto first = std::make_unique<Job>(std::move(job));
    try {
        std::thread([this, handed = first.get()] {
            std::unique_ptr<Job> owned(handed);
            Job own = std::move(*owned);
            owned.reset();
            serve(std::move(own));
        }).detach();
    } catch (const std::system_error&) {
        job = std::move(*first);
        return false;
    }
    static_cast<void>(first.release());  // the thread owns it now
    ++threads_;
    ++busy_;
    return true;
}

void RequestWorkers::finished(const std::string& orderKey) {
    if (orderKey.empty()) return;
    auto ahead = behind_.find(orderKey);
    if (ahead == behind_.end()) return;
    if (ahead->second.empty()) {
        behind_.erase(ahead);
        return;
    }
    // The key's next job queues like a new one, so a page with many calls waiting takes
    // its turn with the others instead of keeping its thread.
    queue_.push_back(std::move(ahead->second.front()));
    ahead->second.pop_front();
}

void RequestWorkers::serve(Job job) {
    // Its own name, not the listener's it would inherit: a look at the threads (or a
    // crash report) tells where a request ran.
    pthread_setname_np(pthread_self(), threadName);
    Idle self;
    for (;;) {
        job.work();
        job.work = nullptr;  // what it holds goes before the job counts as done
        std::unique_lock lock(lock_);
        --busy_;
        finished(job.orderKey);
        if (!queue_.empty()) {
            job = std::move(queue_.front());
            queue_.pop_front();
            --waiting_;
            ++busy_;
            continue;
        }
        // Nothing queued: a job still waits only behind one that runs.
        if (busy_ == 0) done_.notify_all();
        idle_.push_back(&self);
        if (!self.wake.wait_for(lock, idleTime_, [&] { return self.given || ending_; }) ||
            !self.given) {
            idle_.erase(std::find(idle_.begin(), idle_.end(), &self));
            if (--threads_ == 0) done_.notify_all();
            return;
        }
        job = std::exchange(self.job, Job{});
        self.given = false;
    }
}

bool RequestWorkers::waitIdle(std::chrono::milliseconds limit) {
    std::unique_lock lock(lock_);
    return done_.wait_for(lock, limit, [this] { return busy_ == 0 && waiting_ == 0; });
}

int RequestWorkers::threads() {
    std::lock_guard lock(lock_);
    return threads_;
}
