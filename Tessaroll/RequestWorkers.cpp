#include "Tessaroll/RequestWorkers.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

RequestWorkers::RequestWorkers(int limit, std::chrono::milliseconds idleTime)
    : limit_(limit), idleTime_(idleTime) {}

RequestWorkers::~RequestWorkers() {
    std::unique_lock lock(lock_);
    ending_ = true;
    for (Idle* worker : idle_) worker->wake.notify_one();
    done_.wait(lock, [this] { return threads_ == 0; });
}

bool RequestWorkers::run(std::function<void()> job) {
    std::lock_guard lock(lock_);
    if (busy_ >= limit_) return false;
    if (!idle_.empty()) {
        Idle* worker = idle_.back();
        idle_.pop_back();
        worker->job = std::move(job);
        worker->wake.notify_one();
    } else {
        try {
            std::thread([this, job = std::move(job)]() mutable { serve(std::move(job)); }).detach();
        } catch (const std::system_error&) {
            return false;
        }
        ++threads_;
    }
    ++busy_;
    return true;
}

void RequestWorkers::serve(std::function<void()> job) {
    Idle self;
    for (;;) {
        job();
        job = nullptr;  // what it holds goes before the job counts as done
        std::unique_lock lock(lock_);
        if (--busy_ == 0) done_.notify_all();
        idle_.push_back(&self);
        if (!self.wake.wait_for(lock, idleTime_, [&] { return self.job || ending_; }) ||
            !self.job) {
            idle_.erase(std::find(idle_.begin(), idle_.end(), &self));
            if (--threads_ == 0) done_.notify_all();
            return;
        }
        job = std::exchange(self.job, nullptr);
    }
}

bool RequestWorkers::waitIdle(std::chrono::milliseconds limit) {
    std::unique_lock lock(lock_);
    return done_.wait_for(lock, limit, [this] { return busy_ == 0; });
}

int RequestWorkers::threads() {
    std::lock_guard lock(lock_);
    return threads_;
}
