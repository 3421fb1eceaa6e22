// A real browser: a page served on loopback, opened in headless Chromium, calls the service
// with fetch and reads the answer. The browser trusts the build's root through its own NSS
// database; no certificate error is ignored.
#include <gmock/gmock.h>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "Tessaroll/ServiceFixture.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Plain HTTP on 127.0.0.1: "/" is the page, POST "/report" takes what the page found.
class PageServer {
public:
    explicit PageServer(std::string page) : page_(std::move(page)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t length = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        ::listen(fd_, 16);
        thread_ = std::thread([this] { serve(); });
    }
    ~PageServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    uint16_t port() const { return port_; }
    std::optional<std::string> report() {
        std::lock_guard lock(mutex_);
        return report_;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            timeval timeout{5, 0};
            setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            std::string request;
            char buffer[4096];
            std::size_t headerEnd = std::string::npos;
            while ((headerEnd = request.find("\r\n\r\n")) == std::string::npos) {
                ssize_t n = ::recv(c, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<std::size_t>(n));
            }
            if (headerEnd == std::string::npos) {
                ::close(c);
                continue;
            }
            std::size_t length = 0;
            if (auto at = request.find("Content-Length: "); at != std::string::npos)
                length = std::stoul(request.substr(at + 16));
            while (request.size() < headerEnd + 4 + length) {
                ssize_t n = ::recv(c, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<std::size_t>(n));
            }
            std::string body;
            if (request.starts_with("POST /report")) {
                std::lock_guard lock(mutex_);
                report_ = request.substr(headerEnd + 4, length);
            } else if (request.starts_with("GET / ")) {
                body = page_;
            }
            std::string answer = std::string(request.starts_with("GET /favicon") ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK") +
                                 "\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\n\r\n" + body;
            ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            ::close(c);
        }
    }

    std::string page_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::optional<std::string> report_;
};

class BrowserTest : public ServiceTest {};

TEST_F(BrowserTest, PageOnLoopbackCallsTheServiceWithFetch) {
    const fs::path chromium = "/usr/bin/chromium";
    if (!fs::exists(chromium)) GTEST_SKIP() << "no Chromium on this machine";

    // The browser profile's own NSS database trusts the build's root, nothing else.
    const fs::path nssdb = sandbox.home() / ".pki/nssdb";
    fs::create_directories(nssdb);
    const std::string db = "sql:" + nssdb.string();
    ASSERT_EQ(std::system(("certutil -N -d " + db + " --empty-password").c_str()), 0);
    ASSERT_EQ(std::system(("certutil -A -d " + db + " -n tessaroll-root -t C,, -i " +
                           Service::rootCertificate().string()).c_str()), 0);

    const std::string request = echoRequest();
    const std::string page = R"(<!doctype html><html><body><script>
const request = )" + request + R"(;
const report = text => fetch("/report", {method: "POST", body: text});
fetch("https://127.0.0.1:56482/", {
  method: "POST",
  body: new URLSearchParams({Parameter: btoa(JSON.stringify(request))})
}).then(r => r.text().then(t => report(r.status + " " + t)))
  .catch(e => report("error " + e));
</script></body></html>)";
    PageServer server(page);

    const fs::path profile = sandbox.root() / "chromium-profile";
    ChildProcess browser(chromium,
                         {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                          "--disable-background-networking", "--disable-component-update", "--disable-sync",
                          "--user-data-dir=" + profile.string(),
                          "http://127.0.0.1:" + std::to_string(server.port()) + "/"},
                         sandbox.environment());
    ASSERT_TRUE(waitUntil([&] { return server.report().has_value(); }, std::chrono::seconds(60)))
        << browser.errors() << "\n" << service->log();
    browser.kill();

    const std::string report = *server.report();
    ASSERT_TRUE(report.starts_with("200 ")) << report << "\n" << browser.errors();
    auto answer = decodeAnswer(report.substr(4));
    ASSERT_TRUE(answer) << report;
    EXPECT_EQ((*answer)["result"], "0");
    EXPECT_EQ((*answer)["ServerVersion"], "1.0.23.0510");
    EXPECT_THAT((*answer)["SessionID"], ::testing::MatchesRegex("[0-9A-Z]{8}_SID"));
    EXPECT_TRUE(service->waitForLog("Origin: http://127.0.0.1:" + std::to_string(server.port())));
}

}  // namespace
