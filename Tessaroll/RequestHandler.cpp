#include "Tessaroll/RequestHandler.h"

#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Tessaroll/Origin.h"
#include "Tessaroll/ServiceState.h"
#include "TessarollSession/Dispatcher.h"
#include "TessarollUtil/JsonMap.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/Secure.h"
#include "TessarollUtil/Text.h"

namespace {

constexpr int kindFormPost = 1;
constexpr int kindOther = 2;
constexpr std::size_t postBufferSize = 8192;
constexpr std::size_t hostLimit = 63;  // a Host longer than this is cut before the check
// The most of the field "Parameter" one request may carry: room for large signing requests,
// while no page can make the service hold more than this per connection.
constexpr std::size_t parameterLimit = 64u * 1024 * 1024;
const char* const separatorLine =
    "===============================================================================";

// One per connection. The form field is collected here rather than in a process-wide
// text: the six listeners receive bodies at the same time, and a shared buffer would join
// the chunks of different requests.
struct ConnectionState {
    int kind = kindOther;
    MHD_PostProcessor* postProcessor = nullptr;
    SecretString parameterText;
    bool tooLarge = false;  // the field passed parameterLimit: the connection is closed
};

// The answer of the request being handled; only touched under serviceLock().
JsonMapPtr answerMap;

void answerResult(int code) {
    if (!answerMap) {
        answerMap = newJsonMap();
        if (!answerMap) {
            TESSAROLL_ALLOCATION_FAILURE();
            return;
        }
    }
    setJsonMapResult(answerMap.get(), code);
}

// Only real request headers count. A lookup over every value kind would also take a query
// argument such as "?host=localhost:1" or "?origin=https://..." that the page's own URL
// carries, and let it stand in for the header the browser sent.
std::optional<std::string> requestHeader(MHD_Connection* connection, const char* name) {
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    if (!value) return std::nullopt;
    return std::string(value);
}

bool headerEquals(MHD_Connection* connection, const char* name, std::string_view expected) {
    auto value = requestHeader(connection, name);
    return value && *value == expected;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// False when the connection must close without an answer.
bool acceptableTlsVersion(int protocol) {
    switch (protocol) {
        case 2: writeWarningLog("Insecure connection: ", "TLS 1.0"); return false;
        case 3: writeWarningLog("Insecure connection: ", "TLS 1.1"); return false;
        case 4: writeNormalLog("TLS version: ", "TLS 1.2"); return true;
        case 5: writeNormalLog("TLS version: ", "TLS 1.3"); return true;
        case 200: writeNormalLog("TLS version: ", "DTLS 0.9"); return true;
        case 201: writeNormalLog("TLS version: ", "DTLS 1.0"); return true;
        case 202: writeNormalLog("TLS version: ", "DTLS 1.2"); return true;
        default:
            writeWarningLog("Insecure connection: ", "Unknow connection protocol");
            writeWarningLogInt("", protocol);
            return false;
    }
}

// The page's origin: a well-formed Origin header, or scheme, host and port of the Referer
// when the Origin is missing. A malformed Origin is no origin at all, never echoed.
std::optional<std::string> pageOrigin(MHD_Connection* connection) {
    std::optional<std::string> referer = requestHeader(connection, "referer");
    writeNormalLog("Referer: ", referer ? *referer : "");
    std::string origin = requestHeader(connection, "origin").value_or("");
    writeNormalLog("Origin: ", origin);
    if (!isMissingOrigin(origin)) {
        std::optional<std::string> valid = validOrigin(origin);
        if (!valid) writeWarningLog("Malformed origin: ", origin);
        return valid;
    }

    writeWarningLog("Empty origin: ", origin);
    writeWarningLog("Extract origin from referer: ", "Start");
    if (!referer || isMissingOrigin(*referer)) {
        writeWarningLog("Empty Referer: ", referer ? *referer : "");
        writeWarningLog("Extract origin from referer: ", "Fail");
        return std::nullopt;
    }
    std::vector<std::string> pieces = splitToArray(*referer, "/");
    for (std::size_t i = 0; i < pieces.size(); ++i)
        writeNormalLog("UrlList[" + std::to_string(i) + "]: ", pieces[i]);
    std::optional<std::string> rebuilt = originOfUrl(*referer);
    if (!rebuilt) {
        writeWarningLog("", "UrlList error: ");
        writeWarningLog("Extract origin from referer: ", "Fail");
        return std::nullopt;
    }
    writeNormalLog("New Origin: ", *rebuilt);
    return rebuilt;
}

// Evaluates a complete form POST and answers it. Runs under serviceLock().
MHD_Result answerFormPost(MHD_Connection* connection, ConnectionState& state) {
    // After the final release no new session may be opened: its adapter copy would
    // outlive the service.
    if (exitFlag.load()) return MHD_NO;

    writeNormalLog("", "Release Mode");
    std::optional<SecretString> decoded;
    JsonMapPtr parsed;

    auto respond = [&]() {
        MHD_Result result = sendResponse(connection, false);
        requestOrigin.reset();
        requestMap = nullptr;
        parsed.reset();
        if (decoded) secureWipe(*decoded);
        secureWipe(state.parameterText);
        if (isLogOn()) logPrint(5, "%s", separatorLine);
        return result;
    };

    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_PROTOCOL);
    if (!info) {
        writeWarningLog("", "Get connection information error");
        answerResult(61001);
        return respond();
    }
    if (!acceptableTlsVersion(static_cast<int>(info->protocol))) {
        answerMap.reset();
        return respond();
    }

    std::string host = requestHeader(connection, "host").value_or("").substr(0, hostLimit);
    writeNormalLog("Host: ", host);
    if (!host.starts_with("localhost:") && !host.starts_with("127.0.0.1:")) {
        writeWarningLog("", "This connection is NOT from localhost");
        answerResult(61904);
        return respond();
    }

    decoded = SecretString(urlBase64Decode(state.parameterText));
    secureWipe(state.parameterText);
    if (decoded->empty()) {
        TESSAROLL_ALLOCATION_FAILURE();
        return respond();
    }
    parsed = parseJsonMap(std::string_view(*decoded));
    if (!parsed) {
        TESSAROLL_ALLOCATION_FAILURE();
        return respond();
    }
    requestMap = parsed.get();

    std::optional<std::string> origin = pageOrigin(connection);
    if (!origin) {
        answerResult(61012);
        return respond();
    }
    requestOrigin = std::move(origin);

    answerMap.reset();
    answerMap = dispatchSessionRequest();
    return respond();
}

}  // namespace

MHD_Result handleRequest(void*, MHD_Connection* connection, const char*, const char* method,
                         const char*, const char* uploadData, size_t* uploadDataSize,
                         void** connectionState) {
    auto* state = static_cast<ConnectionState*>(*connectionState);
    if (!state) {
        state = new (std::nothrow) ConnectionState;
        if (!state) return MHD_NO;
        if (std::strcmp(method, "POST") != 0) {
            state->kind = kindOther;
            *connectionState = state;
            return MHD_YES;
        }
        // libmicrohttpd makes a processor only for url-encoded and multipart forms.
        if (MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Type"))
            state->postProcessor =
                MHD_create_post_processor(connection, postBufferSize, collectParameter, state);
        if (!state->postProcessor) {
            delete state;
            return MHD_NO;
        }
        state->kind = kindFormPost;
        *connectionState = state;
        return MHD_YES;
    }

    if (std::strcmp(method, "POST") == 0 && state->kind == kindFormPost) {
        if (*uploadDataSize != 0) {
            MHD_post_process(state->postProcessor, uploadData, *uploadDataSize);
            *uploadDataSize = 0;
            // Refused like any other request the handler will not evaluate: closed without
            // an answer, and without reading the rest of the body.
            return state->tooLarge ? MHD_NO : MHD_YES;
        }
        std::lock_guard lock(serviceLock());
        return answerFormPost(connection, *state);
    }

    if (std::strcmp(method, "OPTIONS") == 0 &&
        headerEquals(connection, "Access-Control-Request-Method", "POST") &&
        headerEquals(connection, "Access-Control-Request-Private-Network", "true")) {
        std::lock_guard lock(serviceLock());
        return sendResponse(connection, true);
    }

    writeErrorLog("Request method error: ", method);
    return MHD_NO;
}

MHD_Result collectParameter(void* closure, MHD_ValueKind, const char* key, const char*,
                            const char*, const char*, const char* data, uint64_t, size_t size) {
    auto* state = static_cast<ConnectionState*>(closure);
    if (state->tooLarge) return MHD_NO;
    if (key && std::strcmp(key, "Parameter") == 0 && data && size > 0) {
        if (size > parameterLimit - state->parameterText.size()) {
            writeErrorLog("Request parameter too large: ", "Close connection");
            state->tooLarge = true;
            state->parameterText = SecretString();  // wiped and handed back at once
            return MHD_NO;
        }
        state->parameterText.append(data, size);
    }
    return MHD_YES;
}

void requestCompleted(void*, MHD_Connection*, void** connectionState, MHD_RequestTerminationCode) {
    auto* state = static_cast<ConnectionState*>(*connectionState);
    if (!state) return;
    if (state->kind == kindFormPost && state->postProcessor)
        MHD_destroy_post_processor(state->postProcessor);
    delete state;
    *connectionState = nullptr;
}

MHD_Result sendResponse(MHD_Connection* connection, bool preflight) {
    MHD_Response* response = nullptr;
    std::optional<std::string> allowOrigin;
    if (!preflight) {
        if (!answerMap) return MHD_NO;
        std::optional<std::string> body = serializeJsonMap(answerMap.get());
        answerMap.reset();
        if (!body) {
            TESSAROLL_ALLOCATION_FAILURE();
            return MHD_NO;
        }
        response = MHD_create_response_from_buffer(body->size(), body->data(), MHD_RESPMEM_MUST_COPY);
        secureWipe(*body);
        allowOrigin = requestOrigin;
    } else {
        response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        if (auto origin = requestHeader(connection, "origin")) allowOrigin = validOrigin(*origin);
    }
    if (!response) return MHD_NO;

    if (allowOrigin && allowOrigin->starts_with("http"))
        MHD_add_response_header(response, "Access-Control-Allow-Origin", allowOrigin->c_str());
    if (auto connectionHeader = requestHeader(connection, "Connection");
        connectionHeader && equalsIgnoreCase(*connectionHeader, "keep-alive"))
        MHD_add_response_header(response, "Keep-Alive", "timeout=15, max=100");
    unsigned int status = MHD_HTTP_OK;
    if (preflight) {
        MHD_add_response_header(response, "Access-Control-Allow-Methods", "POST");
        MHD_add_response_header(response, "Access-Control-Allow-Private-Network", "true");
        MHD_add_response_header(response, "Access-Control-Max-Age", "30");
        status = MHD_HTTP_NO_CONTENT;
    } else {
        MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    }
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}
