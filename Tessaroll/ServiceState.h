// Process-wide state of the main program that the start-up, the request handler and the
// final release share.
#pragma once

#include <atomic>
#include <mutex>

// Set only by finalRelease; the main thread stops the listeners once it sees it.
extern std::atomic<bool> exitFlag;
// Whether logging is on; toggled by the debug-mode thread.
extern std::atomic<bool> logActive;

// Serialises everything that touches the request state, the session table and the value
// store: the evaluation, dispatch and response of one request at a time across the six
// listener threads, and the final release, which must never overlap a request.
std::mutex& serviceLock();

// The main program's final function: releases every session oldest first, deletes the
// adapter copies in the work folder and sets exitFlag. Safe to run more than once.
void finalRelease();
