// How long the process keeps off a cross-user lock after a wait for it ran out. Kept once
// per process (in the shared library every module links): each plug-in copy carries lock
// code of its own, and a lock that another user holds for good must cost the process one
// bounded wait per pause, not one per copy.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#define TESSAROLL_PROCESS_API __attribute__((visibility("default")))

inline constexpr std::chrono::seconds kSharedLockPause{30};

// Whether a wait for the lock `name` may block now; false while the pause after a wait that
// ran out lasts. Every true answer counts as one wait.
TESSAROLL_PROCESS_API bool mayWaitForSharedLock(const std::string& name);
// A wait for the lock ran out: no wait blocks for it during the next kSharedLockPause.
TESSAROLL_PROCESS_API void sharedLockWaitRanOut(const std::string& name);
// How many waits for the lock this process was allowed.
TESSAROLL_PROCESS_API uint64_t sharedLockWaits(const std::string& name);
