// Retrying an operation that may fail for a while (a file another program still holds).
#pragma once

#include <chrono>
#include <stdexcept>
#include <thread>

#include "core/ScopeExit.h"

namespace VZ::Core::Pattern {

namespace Detail {

// `Retries` more attempts after the first; the pause before each comes from delay().
template <int Retries, int Seconds>
class DelayPolicy {
public:
    static constexpr int retries = Retries;
    virtual ~DelayPolicy() = default;
    virtual std::chrono::seconds delay() const = 0;

    // Runs `attempt` until it returns true. Raises "Retry timeout" when the last retry
    // fails too.
    template <typename F>
    void run(F&& attempt) const {
        int left = Retries + 1;
        while (true) {
            {
                ScopeExit countDown([&left] { --left; });
                if (attempt()) return;
            }
            if (left <= 0) throw std::runtime_error("Retry timeout");
            std::this_thread::sleep_for(delay());
        }
    }
};

}  // namespace Detail

// The same pause before every retry.
template <int Retries, int Seconds>
class Linear : public Detail::DelayPolicy<Retries, Seconds> {
public:
    std::chrono::seconds delay() const override { return std::chrono::seconds(Seconds); }
};

}  // namespace VZ::Core::Pattern
