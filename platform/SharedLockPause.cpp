#include "platform/SharedLockPause.h"

#include <map>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;

struct LockPause {
    Clock::time_point until{};
    uint64_t waits = 0;
};

std::mutex pausesLock;
std::map<std::string, LockPause>& pauses() {
    static auto* instance = new std::map<std::string, LockPause>();  // outlives every thread
    return *instance;
}

}  // namespace

bool mayWaitForSharedLock(const std::string& name) {
    std::lock_guard guard(pausesLock);
    LockPause& pause = pauses()[name];
    if (Clock::now() < pause.until) return false;
    ++pause.waits;
    return true;
}

void sharedLockWaitRanOut(const std::string& name) {
    std::lock_guard guard(pausesLock);
    pauses()[name].until = Clock::now() + kSharedLockPause;
}

uint64_t sharedLockWaits(const std::string& name) {
    std::lock_guard guard(pausesLock);
    auto found = pauses().find(name);
    return found == pauses().end() ? 0 : found->second.waits;
}
