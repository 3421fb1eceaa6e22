#include "helpers/HttpsClient.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

namespace testing_support {

namespace {

gnutls_session_t asSession(void* p) {
    return static_cast<gnutls_session_t>(p);
}
gnutls_certificate_credentials_t asCredentials(void* p) {
    return static_cast<gnutls_certificate_credentials_t>(p);
}

const char* priorityFor(TlsVersion version) {
    switch (version) {
        case TlsVersion::Tls10: return "NORMAL:-VERS-ALL:+VERS-TLS1.0:%NO_EXTENSIONS";
        case TlsVersion::Tls11: return "NORMAL:-VERS-ALL:+VERS-TLS1.1";
        case TlsVersion::Tls12: return "NORMAL:-VERS-ALL:+VERS-TLS1.2";
        case TlsVersion::Tls13: return "NORMAL:-VERS-ALL:+VERS-TLS1.3";
        case TlsVersion::Any: break;
    }
    return "NORMAL";
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

struct GnutlsInit {
    // A server that closes during the handshake must end the call, not the test program.
    GnutlsInit() {
        std::signal(SIGPIPE, SIG_IGN);
        gnutls_global_init();
    }
};

}  // namespace

std::optional<std::map<std::string, std::string>> decodeAnswer(std::string_view body) {
    // {"key": "value", "key": "value"}: keys are not escaped, values are Base64.
    std::map<std::string, std::string> answer;
    std::size_t at = 0;
    auto expect = [&](std::string_view token) {
        if (body.substr(at, token.size()) != token) return false;
        at += token.size();
        return true;
    };
    if (!expect("{")) return std::nullopt;
    if (expect("}")) return at == body.size() ? std::optional(answer) : std::nullopt;
    for (;;) {
        if (!expect("\"")) return std::nullopt;
        std::size_t keyEnd = body.find('"', at);
        if (keyEnd == std::string_view::npos) return std::nullopt;
        std::string key(body.substr(at, keyEnd - at));
        at = keyEnd + 1;
        if (!expect(": \"")) return std::nullopt;
        std::size_t valueEnd = body.find('"', at);
        if (valueEnd == std::string_view::npos) return std::nullopt;
        answer[key] = base64Decode(body.substr(at, valueEnd - at));
        at = valueEnd + 1;
        if (expect("}")) return at == body.size() ? std::optional(answer) : std::nullopt;
        if (!expect(", ")) return std::nullopt;
    }
}

std::optional<std::string> HttpsResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (iequals(key, name)) return value;
    return std::nullopt;
}

HttpsClient::HttpsClient(HttpsClientOptions options) : options_(std::move(options)) {
    static GnutlsInit init;
}

HttpsClient::~HttpsClient() {
    close();
}

void HttpsClient::close() {
    if (session_) {
        gnutls_bye(asSession(session_), GNUTLS_SHUT_WR);
        gnutls_deinit(asSession(session_));
        session_ = nullptr;
    }
    if (credentials_) {
        gnutls_certificate_free_credentials(asCredentials(credentials_));
        credentials_ = nullptr;
    }
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    buffer_.clear();
}

int HttpsClient::protocol() const {
    return session_ ? static_cast<int>(gnutls_protocol_get_version(asSession(session_))) : 0;
}

bool HttpsClient::connect() {
    close();
    error_.clear();
    const bool ipv6 = options_.address.find(':') != std::string::npos;
    socket_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    timeval timeout{options_.timeoutSeconds, 0};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int one = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    if (!ipv6 && !options_.sourceAddress.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, options_.sourceAddress.c_str(), &local.sin_addr);
        if (::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            error_ = std::string("bind: ") + std::strerror(errno);
            close();
            return false;
        }
    }
    int rc;
    if (ipv6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(options_.port);
        inet_pton(AF_INET6, options_.address.c_str(), &a.sin6_addr);
        rc = ::connect(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(options_.port);
        inet_pton(AF_INET, options_.address.c_str(), &a.sin_addr);
        rc = ::connect(socket_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
        error_ = std::string("connect: ") + std::strerror(errno);
        close();
        return false;
    }

    gnutls_certificate_credentials_t credentials;
    gnutls_certificate_allocate_credentials(&credentials);
    credentials_ = credentials;
    if (!options_.trustFile.empty() &&
        gnutls_certificate_set_x509_trust_file(credentials, options_.trustFile.c_str(),
                                               GNUTLS_X509_FMT_PEM) <= 0) {
        error_ = "cannot load " + options_.trustFile;
        close();
        return false;
    }
    gnutls_session_t session;
    gnutls_init(&session, GNUTLS_CLIENT);
    session_ = session;
    const char* errorPosition = nullptr;
    if (gnutls_priority_set_direct(session, priorityFor(options_.version), &errorPosition) < 0) {
        error_ = std::string("priority: ") + (errorPosition ? errorPosition : "");
        close();
        return false;
    }
    gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials);
    gnutls_server_name_set(session, GNUTLS_NAME_DNS, "localhost", 9);
    if (!options_.trustFile.empty())
        gnutls_session_set_verify_cert(session, options_.verifyName.c_str(), 0);
    gnutls_transport_set_int(session, socket_);
    gnutls_handshake_set_timeout(session, static_cast<unsigned>(options_.timeoutSeconds) * 1000);
    do {
        rc = gnutls_handshake(session);
    } while (rc < 0 && gnutls_error_is_fatal(rc) == 0);
    if (rc < 0) {
        error_ = std::string("handshake: ") + gnutls_strerror(rc);
        if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
            gnutls_datum_t text{};
            gnutls_certificate_verification_status_print(
                gnutls_session_get_verify_cert_status(session), GNUTLS_CRT_X509, &text, 0);
            error_ += std::string(": ") + reinterpret_cast<const char*>(text.data);
            gnutls_free(text.data);
        }
        close();
        return false;
    }
    return true;
}

bool HttpsClient::sendAll(std::string_view data) {
    const bool paced = options_.sendSlice != 0;
    for (bool first = true; !data.empty(); first = false) {
        if (paced && !first) std::this_thread::sleep_for(options_.sendPause);
        const std::size_t size = paced ? std::min(data.size(), options_.sendSlice) : data.size();
        ssize_t n = gnutls_record_send(asSession(session_), data.data(), size);
        if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) continue;
        if (n < 0) {
            error_ = std::string("send: ") + gnutls_strerror(static_cast<int>(n));
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
        sent_ += static_cast<std::size_t>(n);
    }
    return true;
}

bool HttpsClient::readMore() {
    char chunk[16384];
    for (;;) {
        ssize_t n = gnutls_record_recv(asSession(session_), chunk, sizeof chunk);
        if (n == GNUTLS_E_INTERRUPTED) continue;
        if (n == GNUTLS_E_AGAIN) {
            error_ = "receive timed out";
            return false;
        }
        if (n <= 0) {
            error_ =
                n == 0 ? "closed" : std::string("receive: ") + gnutls_strerror(static_cast<int>(n));
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
}

std::optional<HttpsResponse> HttpsClient::readResponse(bool headRequest) {
    std::size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
        if (!readMore()) return std::nullopt;
    HttpsResponse response;
    std::string head = buffer_.substr(0, end);
    buffer_.erase(0, end + 4);

    std::size_t lineEnd = head.find("\r\n");
    std::string statusLine = head.substr(0, lineEnd);
    if (statusLine.size() < 12 || statusLine.compare(0, 5, "HTTP/") != 0) {
        error_ = "bad status line: " + statusLine;
        return std::nullopt;
    }
    response.status = std::stoi(statusLine.substr(9, 3));
    while (lineEnd != std::string::npos) {
        std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        std::string line =
            head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::size_t valueStart = line.find_first_not_of(' ', colon + 1);
        response.headers.emplace_back(
            line.substr(0, colon), valueStart == std::string::npos ? "" : line.substr(valueStart));
    }

    const bool noBody = headRequest || response.status == 204 || response.status == 304 ||
                        response.status / 100 == 1;
    if (noBody) {
        closeIfAsked(response);
        return response;
    }
    if (auto length = response.header("Content-Length")) {
        const std::size_t size = std::stoul(*length);
        while (buffer_.size() < size)
            if (!readMore()) return std::nullopt;
        response.body = buffer_.substr(0, size);
        buffer_.erase(0, size);
    } else if (auto encoding = response.header("Transfer-Encoding");
               encoding && iequals(*encoding, "chunked")) {
        for (;;) {
            std::size_t sizeEnd;
            while ((sizeEnd = buffer_.find("\r\n")) == std::string::npos)
                if (!readMore()) return std::nullopt;
            const std::size_t size = std::stoul(buffer_.substr(0, sizeEnd), nullptr, 16);
            buffer_.erase(0, sizeEnd + 2);
            while (buffer_.size() < size + 2)
                if (!readMore()) return std::nullopt;
            response.body += buffer_.substr(0, size);
            buffer_.erase(0, size + 2);
            if (size == 0) break;
        }
    } else {
        while (readMore()) {}
        response.body = std::move(buffer_);
        buffer_.clear();
        close();
    }
    closeIfAsked(response);
    return response;
}

void HttpsClient::closeIfAsked(const HttpsResponse& response) {
    if (auto connection = response.header("Connection");
        connection && iequals(*connection, "close"))
        close();
}

std::optional<HttpsResponse> HttpsClient::request(std::string_view method, std::string_view path,
                                                  const HttpHeaders& headers,
                                                  std::string_view body) {
    if (!session_ && !connect()) return std::nullopt;
    std::string text;
    text.append(method).append(" ").append(path).append(" HTTP/1.1\r\n");
    bool hasHost = false;
    for (const auto& [key, value] : headers) {
        if (iequals(key, "Host")) hasHost = true;
        text.append(key).append(": ").append(value).append("\r\n");
    }
    if (!hasHost)
        text.append("Host: localhost:").append(std::to_string(options_.port)).append("\r\n");
    if (!body.empty() || method == "POST")
        text.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    text.append("\r\n").append(body);
    if (!sendAll(text)) {
        close();
        return std::nullopt;
    }
    auto response = readResponse(method == "HEAD");
    if (!response) close();
    return response;
}

std::optional<HttpsResponse> HttpsClient::postForm(const HttpHeaders& fields,
                                                   const HttpHeaders& headers,
                                                   std::string_view path) {
    HttpHeaders all = headers;
    all.emplace_back("Content-Type", "application/x-www-form-urlencoded");
    return request("POST", path, all, formBody(fields));
}

std::string urlEscape(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string base64Encode(std::string_view bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 |
                     (unsigned char)bytes[i + 2];
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (i + 1 == bytes.size()) {
        unsigned v = (unsigned char)bytes[i] << 16;
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string base64Decode(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        int v = value(c);
        if (v < 0) break;
        bits = bits << 6 | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return out;
}

std::string formBody(const HttpHeaders& fields) {
    std::string body;
    for (const auto& [key, value] : fields) {
        if (!body.empty()) body += '&';
        body += urlEscape(key) + "=" + urlEscape(value);
    }
    return body;
}

std::optional<HttpsResponse> postRequest(HttpsClient& client, std::string_view json,
                                         const HttpHeaders& headers) {
    return client.postForm({{"Parameter", base64Encode(json)}}, headers);
}

}  // namespace testing_support
