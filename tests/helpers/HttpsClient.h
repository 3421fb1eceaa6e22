// A small HTTPS/1.1 client for tests, over GnuTLS: choose the TLS version, verify the
// server against a root file, send POST/OPTIONS/GET/HEAD with headers and a body over one
// keep-alive connection, and read the status, headers and body of each answer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

enum class TlsVersion { Any, Tls10, Tls11, Tls12, Tls13 };

struct HttpsResponse {
    int status = 0;
    HttpHeaders headers;
    std::string body;
    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(std::string_view name) const;
};

struct HttpsClientOptions {
    std::string address = "127.0.0.1";  // an IPv4 or IPv6 literal
    uint16_t port = 56482;
    TlsVersion version = TlsVersion::Any;
    std::string trustFile;                 // PEM roots; empty: the server is not verified
    std::string verifyName = "localhost";  // the name (or address) checked in the certificate
    int timeoutSeconds = 10;
    std::string sourceAddress;  // IPv4 only: bind the client to this address first (127.0.0.2)
    // When set, a request goes out this many bytes at a time with `sendPause` after each:
    // a page uploading at a steady pace rather than all at once.
    std::size_t sendSlice = 0;
    std::chrono::milliseconds sendPause{0};
};

class HttpsClient {
public:
    explicit HttpsClient(HttpsClientOptions options = {});
    ~HttpsClient();
    HttpsClient(const HttpsClient&) = delete;
    HttpsClient& operator=(const HttpsClient&) = delete;

    // TCP connect and TLS handshake. False on failure, with lastError() saying why.
    bool connect();
    void close();
    bool isConnected() const { return session_ != nullptr; }
    const std::string& lastError() const { return error_; }
    // The negotiated GnuTLS protocol number (4: TLS 1.2, 5: TLS 1.3); 0 when not connected.
    int protocol() const;

    // Sends one request on the open connection (connecting first when there is none) and
    // reads its answer. A "Host" header is added unless `headers` has one; a body gets its
    // Content-Length. Nothing when the server closed the connection without an answer.
    std::optional<HttpsResponse> request(std::string_view method, std::string_view path,
                                         const HttpHeaders& headers = {},
                                         std::string_view body = {});

    // A form POST (application/x-www-form-urlencoded) of `fields`.
    std::optional<HttpsResponse> postForm(const HttpHeaders& fields,
                                          const HttpHeaders& headers = {},
                                          std::string_view path = "/");

    const HttpsClientOptions& options() const { return options_; }
    // Bytes sent so far over all connections; may be read from another thread.
    std::size_t sentBytes() const { return sent_.load(); }

private:
    bool sendAll(std::string_view data);
    bool readMore();
    std::optional<HttpsResponse> readResponse(bool headRequest);
    // Ends the connection when the server said it does.
    void closeIfAsked(const HttpsResponse& response);

    HttpsClientOptions options_;
    int socket_ = -1;
    void* session_ = nullptr;      // gnutls_session_t
    void* credentials_ = nullptr;  // gnutls_certificate_credentials_t
    std::string buffer_;
    std::string error_;
    std::atomic<std::size_t> sent_{0};
};

// Percent-escapes everything except letters, digits and -_.~ (as encodeURIComponent).
std::string urlEscape(std::string_view text);
std::string base64Encode(std::string_view bytes);
std::string base64Decode(std::string_view text);
// "a=1&b=2" with every key and value escaped.
std::string formBody(const HttpHeaders& fields);

// The service's answer {"key": "<Base64>", ...} as key -> decoded value. Nothing when the
// body is not of that form.
std::optional<std::map<std::string, std::string>> decodeAnswer(std::string_view body);

// The way a page calls the service: the request JSON, Base64-encoded and escaped, as the
// form field "Parameter", with a loopback Host and the page's Origin.
std::optional<HttpsResponse> postRequest(HttpsClient& client, std::string_view json,
                                         const HttpHeaders& headers = {
                                             {"Origin", "https://localhost:8443"}});

}  // namespace testing_support
