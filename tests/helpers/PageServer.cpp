#include "helpers/PageServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

std::string callingPage(const std::string& request, const std::string& serviceUrl) {
    return R"(<!doctype html><html><body><script>
const request = )" +
           request + R"(;
const report = text => fetch("/report", {method: "POST", body: text});
fetch(")" + serviceUrl +
           R"(", {
  method: "POST",
  body: new URLSearchParams({Parameter: btoa(JSON.stringify(request))})
}).then(r => r.text().then(t => report(r.status + " " + t)))
  .catch(e => report("error " + e));
</script></body></html>)";
}

PageServer::PageServer(std::string page) : page_(std::move(page)) {
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

PageServer::~PageServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
}

std::optional<std::string> PageServer::report() {
    std::lock_guard lock(mutex_);
    return report_;
}

void PageServer::serve() {
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
        std::string answer =
            std::string(request.starts_with("GET /favicon") ? "HTTP/1.1 404 Not Found"
                                                            : "HTTP/1.1 200 OK") +
            "\r\nContent-Type: text/html\r\nConnection: close\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        ::close(c);
    }
}

}  // namespace testing_support
