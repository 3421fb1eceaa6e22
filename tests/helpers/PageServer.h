// A page for a real browser: plain HTTP on 127.0.0.1 (a loopback page, so no browser asks
// before it reaches the service); "/" is the page, POST "/report" takes what it found.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace testing_support {

// A page that posts the request (JSON) to the service as a page does, then reports
// "<status> <answer>", or "error <what>" when the call failed.
std::string callingPage(const std::string& request, const std::string& serviceUrl);

class PageServer {
public:
    explicit PageServer(std::string page);
    ~PageServer();
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;
    uint16_t port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    // The body of the last report, if one came.
    std::optional<std::string> report();

private:
    void serve();

    std::string page_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::optional<std::string> report_;
};

}  // namespace testing_support
