#include "platform/SessionNotify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <vector>

#include "doubles/LogindMock/LogindMock.h"

using namespace std::chrono_literals;

namespace {

// Sets environment variables for one test and puts the old values back.
class ScopedEnv {
public:
    explicit ScopedEnv(const std::map<std::string, std::string>& values) {
        for (const auto& [key, value] : values) {
            const char* old = std::getenv(key.c_str());
            saved_[key] = old ? std::optional<std::string>(old) : std::nullopt;
            ::setenv(key.c_str(), value.c_str(), 1);
        }
    }
    ~ScopedEnv() {
        for (const auto& [key, value] : saved_) {
            if (value) {
                ::setenv(key.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(key.c_str());
            }
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

std::vector<int> collect(SessionNotifier& notifier, std::size_t wanted) {
    std::vector<int> codes;
    auto end = std::chrono::steady_clock::now() + 5s;
    while (codes.size() < wanted && std::chrono::steady_clock::now() < end) {
        pollfd p{notifier.fd(), POLLIN, 0};
        ::poll(&p, 1, 100);
        notifier.process([&](int code) { codes.push_back(code); });
    }
    return codes;
}

TEST(SessionNotify, SessionSignalsArriveAsTheirCodes) {
    testing_support::LogindMock logind;
    ASSERT_TRUE(logind.ready());
    ScopedEnv env(logind.environment());
    std::string why;
    auto notifier = SessionNotifier::open(&why);
    ASSERT_TRUE(notifier) << why;
    EXPECT_EQ(notifier->sessionPath(), logind.sessionPath());

    ASSERT_TRUE(logind.lock());
    ASSERT_TRUE(logind.unlock());
    ASSERT_TRUE(logind.setActive(false));
    ASSERT_TRUE(logind.setActive(true));
    EXPECT_EQ(collect(*notifier, 4),
              (std::vector<int>{kSessionLock, kSessionUnlock, kSessionConsoleDisconnect,
                                kSessionConsoleConnect}));
}

TEST(SessionNotify, WithoutABusThereIsNothingToWatch) {
    ScopedEnv env(
        {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus"}, {"XDG_SESSION_ID", "1"}});
    std::string why;
    EXPECT_FALSE(SessionNotifier::open(&why));
    EXPECT_EQ(why, "no system bus");
}

}  // namespace
