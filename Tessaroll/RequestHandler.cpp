#include "Tessaroll/RequestHandler.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Tessaroll/Listener.h"
#include "Tessaroll/Origin.h"
#include "Tessaroll/RequestWorkers.h"
#include "Tessaroll/ServiceState.h"
#include "TessarollUtil/JsonMap.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "TessarollUtil/RequestPath.h"
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

// The requests that run on a worker thread, at most this many at once; the ones beyond
// wait for a worker with their connections suspended, at most requestQueueLimit of them
// (fewer than one listener's connection cap, so waiting connections never fill it). A
// request beyond those too is refused at once: a listener thread never makes an adapter
// call, which may wait for the user as long as the card asks.
constexpr int workerLimit = 64;
constexpr std::size_t requestQueueLimit = 256;
constexpr int requestsBusyResult = 61011;

// One per connection. The form field is collected here rather than in a process-wide
// text: the six listeners receive bodies at the same time, and a shared buffer would join
// the chunks of different requests. A request that runs on a worker keeps its parsed
// map here until its answer has been sent.
struct ConnectionState {
    int kind = kindOther;
    MHD_PostProcessor* postProcessor = nullptr;
    SecretString parameterText;  // the field as received, then decoded over itself
    bool tooLarge = false;       // the field passed parameterLimit: the connection is closed
    JsonMapPtr parsed;
    // The page's origin, echoed in the answer: the Origin header's own text (the request's
    // headers stay until it is done) or rebuiltOrigin. Ends in a NUL either way.
    std::optional<std::string_view> origin;
    std::string rebuiltOrigin;  // the origin made from the Referer
    JsonMapPtr answer;
    ReadyAnswer readyAnswer;  // an answer the session had ready instead
    // Set by the worker before it resumes the connection; the listener's thread then
    // sends the answer.
    std::atomic<bool> workerDone{false};
    bool onWorker = false;
};

// Each listener thread keeps the state of its last finished request for the next one, which
// then finds a buffer for its field in place (a page's requests are much alike). Not a state
// whose buffer grew past this: a large signing request's memory goes back at once.
constexpr std::size_t keptFieldCapacity = 16 * 1024;
thread_local std::unique_ptr<ConnectionState> finishedState;

TESSAROLL_REQUEST_PATH ConnectionState* newConnectionState() {
    if (finishedState) return finishedState.release();
    return new (std::nothrow) ConnectionState;
}

TESSAROLL_REQUEST_PATH void finishConnectionState(ConnectionState* state) {
    if (state->kind == kindFormPost && state->postProcessor)
        MHD_destroy_post_processor(state->postProcessor);
    if (finishedState || state->parameterText.capacity() > keptFieldCapacity) {
        delete state;
        return;
    }
    // As new, but with the field's wiped buffer in place.
    SecretString buffer = std::move(state->parameterText);
    secureWipe(buffer);
    state->~ConnectionState();
    new (state) ConnectionState;
    state->parameterText = std::move(buffer);
    finishedState.reset(state);
}

ServiceState* service = nullptr;  // set by serveRequests before any listener starts

// The requests on workers; the listeners must not stop while one is suspended. Kept to the
// end of the process: a worker may still run when the program ends.
RequestWorkers& workers() {
    static RequestWorkers* const pool = new RequestWorkers(workerLimit, requestQueueLimit);
    return *pool;
}

// Only real request headers count. A lookup over every value kind would also take a query
// argument such as "?host=localhost:1" or "?origin=https://..." that the page's own URL
// carries, and let it stand in for the header the browser sent.
// The text stays the connection's until its request is done.
TESSAROLL_REQUEST_PATH std::optional<std::string_view> requestHeader(MHD_Connection* connection,
                                                                     const char* name) {
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    if (!value) return std::nullopt;
    return std::string_view(value);
}

bool headerEquals(MHD_Connection* connection, const char* name, std::string_view expected) {
    auto value = requestHeader(connection, name);
    return value && *value == expected;
}

// False when the connection must close without an answer.
TESSAROLL_REQUEST_PATH bool acceptableTlsVersion(int protocol) {
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
// when the Origin is missing, kept in `rebuilt`. A malformed Origin is no origin at all,
// never echoed.
TESSAROLL_REQUEST_PATH std::optional<std::string_view> pageOrigin(MHD_Connection* connection,
                                                                  std::string& rebuilt) {
    // Every request passes here: the referer is read only when it is logged or needed.
    std::optional<std::string_view> referer;
    if (isLogOn()) {
        referer = requestHeader(connection, "referer");
        writeNormalLog("Referer: ", referer ? *referer : "");
    }
    const std::string_view origin = requestHeader(connection, "origin").value_or("");
    writeNormalLog("Origin: ", origin);
    if (!isMissingOrigin(origin)) {
        std::optional<std::string_view> valid = validOrigin(origin);
        if (!valid) writeWarningLog("Malformed origin: ", origin);
        return valid;
    }

    writeWarningLog("Empty origin: ", origin);
    writeWarningLog("Extract origin from referer: ", "Start");
    if (!referer) referer = requestHeader(connection, "referer");
    if (!referer || isMissingOrigin(*referer)) {
        writeWarningLog("Empty Referer: ", referer ? *referer : "");
        writeWarningLog("Extract origin from referer: ", "Fail");
        return std::nullopt;
    }
    std::vector<std::string> pieces = splitToArray(*referer, "/");
    for (std::size_t i = 0; i < pieces.size(); ++i)
        writeNormalLog("UrlList[" + std::to_string(i) + "]: ", pieces[i]);
    std::optional<std::string> fromReferer = originOfUrl(*referer);
    if (!fromReferer) {
        writeWarningLog("", "UrlList error: ");
        writeWarningLog("Extract origin from referer: ", "Fail");
        return std::nullopt;
    }
    writeNormalLog("New Origin: ", *fromReferer);
    rebuilt = std::move(*fromReferer);
    return rebuilt;
}

void wipeAnswer(void* text) {
    auto* answer = static_cast<std::string*>(text);
    secureWipe(*answer);
    delete answer;
}

// The answer may carry secrets: the response keeps this text itself, and wipes it when done,
// instead of a copy of its own that would be freed unwiped.
MHD_Response* wipedBodyResponse(std::string body) {
    auto* held = new (std::nothrow) std::string(std::move(body));
    secureWipe(body);  // a short text is copied by the move, not handed over
    if (!held) {
        TESSAROLL_ALLOCATION_FAILURE();
        return nullptr;
    }
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        held->size(), held->data(), wipeAnswer, held);
    if (!response) wipeAnswer(held);
    return response;
}

TESSAROLL_REQUEST_PATH void releaseReadyAnswer(void* holder) {
    delete static_cast<ReadyAnswer*>(holder);
}

// An answer the session keeps ready, sent from where it lies for as long as the response is
// out: it holds nothing secret, and the slot may drop its own hold meanwhile.
TESSAROLL_REQUEST_PATH MHD_Response* readyBodyResponse(ReadyAnswer text) {
    auto* holder = new (std::nothrow) ReadyAnswer(std::move(text));
    if (!holder) {
        TESSAROLL_ALLOCATION_FAILURE();
        return nullptr;
    }
    const std::string& body = **holder;
    MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
        body.size(), const_cast<char*>(body.data()), releaseReadyAnswer, holder);
    if (!response) releaseReadyAnswer(holder);
    return response;
}

// What an answer carries besides its body, decided per request.
struct AnswerHeaders {
    std::string_view allowOrigin;  // a C text, or empty: no origin is allowed
    bool keepAlive = false;
    bool closing = false;  // the connection's last answer
};

// The headers of this request's answer; counts the answer on its connection.
TESSAROLL_REQUEST_PATH AnswerHeaders answerHeaders(MHD_Connection* connection,
                                                   std::optional<std::string_view> origin) {
    AnswerHeaders headers;
    if (origin && origin->starts_with("http")) headers.allowOrigin = *origin;
    auto connectionHeader = requestHeader(connection, "Connection");
    headers.keepAlive = connectionHeader && equalsIgnoringCase(*connectionHeader, "keep-alive");
    headers.closing = countAnswer(connection) >= answersPerConnection;
    return headers;
}

// False when a header could not be added (no memory): the response then lacks it.
TESSAROLL_REQUEST_PATH bool addAnswerHeaders(MHD_Response* response, const AnswerHeaders& headers,
                                             bool preflight) {
    bool complete = true;
    auto add = [&](const char* name, const char* value) {
        complete = MHD_add_response_header(response, name, value) == MHD_YES && complete;
    };
    if (!headers.allowOrigin.empty())
        add("Access-Control-Allow-Origin", headers.allowOrigin.data());
    if (headers.keepAlive) add("Keep-Alive", "timeout=15, max=100");
    if (headers.closing) add(MHD_HTTP_HEADER_CONNECTION, "close");
    if (preflight) {
        add("Access-Control-Allow-Methods", "POST");
        add("Access-Control-Allow-Private-Network", "true");
        add("Access-Control-Max-Age", "30");
    } else {
        add("X-XSS-Protection", "1; mode=block");
    }
    return complete;
}

// Queues `response` (null: there is nothing to send) with the headers every answer carries
// and `allowOrigin`, a C text, allowed when it is an origin.
TESSAROLL_REQUEST_PATH MHD_Result queueResponse(MHD_Connection* connection, MHD_Response* response,
                                                std::optional<std::string_view> allowOrigin,
                                                bool preflight) {
    if (!response) return MHD_NO;
    addAnswerHeaders(response, answerHeaders(connection, allowOrigin), preflight);
    MHD_Result result =
        MHD_queue_response(connection, preflight ? MHD_HTTP_NO_CONTENT : MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

// The responses a listener thread made for kept answers, headers and all. The next request
// that gets the same answer with the same headers is queued the same response: MHD counts
// the connections a response is out on, and frees it once the last is done with it and it
// has left this list. An entry holds its answer, so no other answer can come to lie at its
// address while it is kept.
class ReadyResponses {
public:
    ReadyResponses() = default;
    ReadyResponses(const ReadyResponses&) = delete;
    ReadyResponses& operator=(const ReadyResponses&) = delete;
    ~ReadyResponses() {
        for (Entry& entry : entries_)
            if (entry.response) MHD_destroy_response(entry.response);
    }

    TESSAROLL_REQUEST_PATH MHD_Response* find(const ReadyAnswer& answer,
                                              const AnswerHeaders& headers) const {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (texts_[i] != answer.get()) continue;
            const Entry& entry = entries_[i];
            if (entry.keepAlive == headers.keepAlive && entry.allowOrigin == headers.allowOrigin)
                return entry.response;
        }
        return nullptr;
    }

    // Keeps `response`, made for `answer` with `headers`, in place of the oldest entry; false
    // when it could not be kept (the caller still owns it then).
    bool keep(const ReadyAnswer& answer, const AnswerHeaders& headers, MHD_Response* response) {
        Entry& entry = entries_[next_];
        try {
            entry.allowOrigin = headers.allowOrigin;
        } catch (const std::bad_alloc&) {
            return false;
        }
        if (entry.response) MHD_destroy_response(entry.response);
        entry.answer = answer;
        texts_[next_] = answer.get();
        entry.keepAlive = headers.keepAlive;
        entry.response = response;
        next_ = (next_ + 1) % entries_.size();
        return true;
    }

private:
    struct Entry {
        ReadyAnswer answer;
        std::string allowOrigin;
        bool keepAlive = false;
        MHD_Response* response = nullptr;
    };
    std::array<Entry, sessionSlotCount> entries_;  // room for every session's Echo answer
    // Each entry's answer, apart: a search reads these few lines only.
    std::array<const std::string*, sessionSlotCount> texts_{};
    std::size_t next_ = 0;
};

thread_local ReadyResponses readyResponses;

// Queues a kept answer. The connection's last answer gets a response of its own, as it
// alone says "close".
TESSAROLL_REQUEST_PATH MHD_Result queueReadyAnswer(MHD_Connection* connection, ReadyAnswer answer,
                                                   std::optional<std::string_view> origin) {
    const AnswerHeaders headers = answerHeaders(connection, origin);
    MHD_Response* response = headers.closing ? nullptr : readyResponses.find(answer, headers);
    if (response) return MHD_queue_response(connection, MHD_HTTP_OK, response);

    response = readyBodyResponse(answer);
    if (!response) return MHD_NO;
    // One that lacks a header is sent this once, never kept for the requests after it.
    const bool complete = addAnswerHeaders(response, headers, false);
    MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    if (headers.closing || !complete || !readyResponses.keep(answer, headers, response))
        MHD_destroy_response(response);
    return result;
}

// Sends the connection's answer and wipes what the request carried.
TESSAROLL_REQUEST_PATH MHD_Result respond(MHD_Connection* connection, ConnectionState& state) {
    MHD_Result result;
    if (state.readyAnswer) {
        result = queueReadyAnswer(connection, std::move(state.readyAnswer), state.origin);
    } else {
        std::optional<std::string> body;
        if (state.answer) {
            body = serializeJsonMap(state.answer.get());
            if (!body) TESSAROLL_ALLOCATION_FAILURE();
        }
        result = sendResponse(connection, false, std::move(body), state.origin);
    }
    state.answer.reset();
    state.origin.reset();
    state.parsed.reset();
    secureWipe(state.parameterText);
    if (isLogOn()) logPrint(5, "%s", separatorLine);
    return result;
}

// A page's calls on one session run in their order; a request without a session id opens
// one of its own and waits for no other.
std::string sessionOrderKey(const JsonMap& request, std::string_view origin) {
    std::string key(origin);
    key += '\n';
    if (std::optional<std::string_view> id = plainJsonMapValue(&request, "SessionId"))
        key += *id;
    else if (std::optional<std::string> decoded = getJsonMapValue(&request, "SessionId"))
        key += *decoded;
    return key.size() > origin.size() + 1 ? key : std::string();
}

// Runs the request on a worker thread while its connection is suspended, so the listener
// goes on serving other pages meanwhile. When too many requests wait already, it is refused
// instead, its answer sent like a worker's once the connection is resumed.
void answerOnWorker(MHD_Connection* connection, ConnectionState& state) {
    state.onWorker = true;
    MHD_suspend_connection(connection);
    const bool started = workers().run(
        [connection, &state] {
            state.answer = service->sessions().handle(*state.parsed, *state.origin);
            state.workerDone.store(true, std::memory_order_release);
            MHD_resume_connection(connection);
        },
        sessionOrderKey(*state.parsed, *state.origin));
    if (started) return;
    writeWarningLog("Too many requests waiting: ", "Refuse the request");
    state.answer = resultOnlyAnswer(requestsBusyResult);
    state.workerDone.store(true, std::memory_order_release);
    MHD_resume_connection(connection);
}

// Evaluates a complete form POST: what needs no session is answered here at once, the
// rest by the sessions, on a worker when the call may take long.
TESSAROLL_REQUEST_PATH MHD_Result answerFormPost(MHD_Connection* connection,
                                                 ConnectionState& state) {
    // After the final release no new session may be opened: its adapter copy would
    // outlive the service.
    if (service->ending()) return MHD_NO;

    writeNormalLog("", "Release Mode");
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_PROTOCOL);
    if (!info) {
        writeWarningLog("", "Get connection information error");
        state.answer = resultOnlyAnswer(61001);
        return respond(connection, state);
    }
    if (!acceptableTlsVersion(static_cast<int>(info->protocol))) return respond(connection, state);

    const std::string_view host =
        requestHeader(connection, "host").value_or("").substr(0, hostLimit);
    writeNormalLog("Host: ", host);
    if (!host.starts_with("localhost:") && !host.starts_with("127.0.0.1:")) {
        writeWarningLog("", "This connection is NOT from localhost");
        state.answer = resultOnlyAnswer(61904);
        return respond(connection, state);
    }

    // Decoded over the field's own bytes: no second block ever holds the request.
    state.parameterText.resize(
        urlBase64DecodeInPlace(std::span(state.parameterText.data(), state.parameterText.size())));
    if (state.parameterText.empty()) {
        TESSAROLL_ALLOCATION_FAILURE();
        return respond(connection, state);
    }
    state.parsed = parseJsonMap(state.parameterText.view());
    if (!state.parsed) {
        TESSAROLL_ALLOCATION_FAILURE();
        return respond(connection, state);
    }

    state.origin = pageOrigin(connection, state.rebuiltOrigin);
    if (!state.origin) {
        state.answer = resultOnlyAnswer(61012);
        return respond(connection, state);
    }

    if (std::optional<SessionAnswer> answer =
            service->sessions().handleAtOnce(*state.parsed, *state.origin)) {
        state.answer = std::move(answer->map);
        state.readyAnswer = std::move(answer->text);
        return respond(connection, state);
    }
    answerOnWorker(connection, state);
    return MHD_YES;
}

}  // namespace

TESSAROLL_REQUEST_PATH MHD_Result handleRequest(void*, MHD_Connection* connection, const char*,
                                                const char* method, const char*,
                                                const char* uploadData, size_t* uploadDataSize,
                                                void** connectionState) {
    auto* state = static_cast<ConnectionState*>(*connectionState);
    // A POST's first call comes with its headers, before the body; every later call with
    // nothing more of the body comes once the request is complete.
    const bool bodyArrives = state ? *uploadDataSize != 0 : std::strcmp(method, "POST") == 0;
    noteRequestPhase(connection, bodyArrives ? RequestPhase::receiving : RequestPhase::answering,
                     state ? *uploadDataSize : 0);
    if (!state) {
        state = newConnectionState();
        if (!state) return MHD_NO;
        if (std::strcmp(method, "POST") != 0) {
            state->kind = kindOther;
            *connectionState = state;
            return MHD_YES;
        }
        // libmicrohttpd makes a processor only for url-encoded and multipart forms (none
        // without a Content-Type).
        state->postProcessor =
            MHD_create_post_processor(connection, postBufferSize, collectParameter, state);
        if (!state->postProcessor) {
            finishConnectionState(state);
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
        if (state->onWorker) {
            // Called again once the worker resumed the connection.
            if (!state->workerDone.load(std::memory_order_acquire)) return MHD_YES;
            state->onWorker = false;
            return respond(connection, *state);
        }
        return answerFormPost(connection, *state);
    }

    if (std::strcmp(method, "OPTIONS") == 0 &&
        headerEquals(connection, "Access-Control-Request-Method", "POST") &&
        headerEquals(connection, "Access-Control-Request-Private-Network", "true")) {
        return sendResponse(connection, true);
    }

    writeErrorLog("Request method error: ", method);
    return MHD_NO;
}

TESSAROLL_REQUEST_PATH MHD_Result collectParameter(void* closure, MHD_ValueKind, const char* key,
                                                   const char*, const char*, const char*,
                                                   const char* data, uint64_t, size_t size) {
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

TESSAROLL_REQUEST_PATH void requestCompleted(void*, MHD_Connection* connection,
                                             void** connectionState, MHD_RequestTerminationCode) {
    noteRequestPhase(connection, RequestPhase::idle);
    // The answer is out: the next session's adapter may be made now without delaying it.
    if (service) service->sessions().spare().wakeHeld();
    auto* state = static_cast<ConnectionState*>(*connectionState);
    if (!state) return;
    finishConnectionState(state);
    *connectionState = nullptr;
}

MHD_Result sendResponse(MHD_Connection* connection, bool preflight, std::optional<std::string> body,
                        std::optional<std::string_view> origin) {
    if (!preflight) {
        if (!body) return MHD_NO;
        return queueResponse(connection, wipedBodyResponse(std::move(*body)), origin, false);
    }
    std::optional<std::string_view> preflightOrigin;
    if (auto header = requestHeader(connection, "origin")) preflightOrigin = validOrigin(*header);
    return queueResponse(connection,
                         MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT),
                         preflightOrigin, true);
}

void serveRequests(ServiceState& state) {
    service = &state;
    state.sessions().spare().holdWakes();
    reuseFreedJsonMaps();  // every request parses one map and answers with another
}

bool waitForRequestWorkers(std::chrono::milliseconds limit) {
    return workers().waitIdle(limit);
}
