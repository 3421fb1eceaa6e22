// The loopback HTTPS service under load, run under the ports lock:
//   flock /tmp/tessaroll-ports.lock build/bench/bench_service
// - Echo on an open session over one keep-alive TLS connection, beside a bare libmicrohttpd
//   HTTPS responder with the same certificate, priorities and threading that answers a fixed
//   body: the limit the service can approach;
// - a new session's set-up (copy, load, unlock, version query) as one Echo without session;
// - the service's resident memory with 32 sessions open.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <fstream>
#include <memory>
#include <microhttpd.h>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "certs/ServerCredentials.h"
#include "helpers/HttpsClient.h"
#include "helpers/Sandbox.h"
#include "helpers/Service.h"

using namespace testing_support;

namespace {

const std::string echoRequest =
    R"({"FunctionName": "Echo", "PathID": "5D27C0A91B3E4F68A2C7E0B9146D83F2", "minServerVersion": "1.0.23.0510"})";
const HttpHeaders pageHeaders = {{"Origin", "https://localhost:8443"}, {"Connection", "keep-alive"}};

struct RunningService {
    Sandbox sandbox;
    std::unique_ptr<Service> service;
    RunningService() {
        ServiceOptions options;
        options.logging = false;  // measure the service, not its log file
#ifdef TEST_ADAPTER_PATH
        options.adapter = TEST_ADAPTER_PATH;
#endif
        service = std::make_unique<Service>(sandbox, options);
        if (!service->waitListening()) throw std::runtime_error("the service did not start");
    }
};

RunningService& runningService() {
    static RunningService running;
    return running;
}

std::string sessionEcho(const std::string& session) {
    return R"({"SessionId": ")" + session + R"(", "FunctionName": "Echo"})";
}

std::optional<std::string> openSession(HttpsClient& client) {
    auto response = postRequest(client, echoRequest, pageHeaders);
    if (!response) return std::nullopt;
    auto answer = decodeAnswer(response->body);
    if (!answer || (*answer)["result"] != "0") return std::nullopt;
    return (*answer)["SessionID"];
}

void reportLatencies(benchmark::State& state, std::vector<double>& microseconds) {
    if (microseconds.empty()) return;
    std::sort(microseconds.begin(), microseconds.end());
    state.counters["median_us"] = microseconds[microseconds.size() / 2];
    state.counters["p99_us"] = microseconds[microseconds.size() * 99 / 100];
    state.SetItemsProcessed(static_cast<int64_t>(microseconds.size()));
}

template <typename Call>
void timedRequests(benchmark::State& state, Call call) {
    std::vector<double> latencies;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (!call()) {
            state.SkipWithError("request failed");
            break;
        }
        latencies.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    reportLatencies(state, latencies);
}

void BM_ServiceEchoOnOpenSession(benchmark::State& state) {
    runningService();
    HttpsClient client;
    auto session = openSession(client);
    if (!session) return state.SkipWithError("no session");
    const std::string body = formBody({{"Parameter", base64Encode(sessionEcho(*session))}});
    HttpHeaders headers = pageHeaders;
    headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
    timedRequests(state, [&] {
        auto response = client.request("POST", "/", headers, body);
        return response && response->status == 200;
    });
    postRequest(client, R"({"SessionId": ")" + *session + R"(", "FunctionName": "TessarollForceRelease"})", pageHeaders);
}
BENCHMARK(BM_ServiceEchoOnOpenSession)->MinTime(3.0)->UseRealTime();

// The same listener set-up as the service, answering every form POST with a fixed body.
class BareResponder {
public:
    BareResponder() {
        key_.resize(sizeof(ecServerKeyMasked));
        for (std::size_t i = 0; i < key_.size(); ++i) key_[i] = static_cast<char>(ecServerKeyMasked[i] ^ ecServerKeyPad[i]);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        daemon_ = MHD_start_daemon(
            MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD, 0, nullptr, nullptr, answer,
            nullptr, MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_HTTPS_MEM_CERT, ecServerCertificate,
            MHD_OPTION_HTTPS_MEM_KEY, key_.c_str(), MHD_OPTION_HTTPS_PRIORITIES,
            "NORMAL:!VERS-TLS-ALL:!SHA1:+VERS-TLS1.2:+VERS-TLS1.3", MHD_OPTION_END);
        if (daemon_) port_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
    }
    ~BareResponder() {
        if (daemon_) MHD_stop_daemon(daemon_);
    }
    uint16_t port() const { return port_; }

private:
    static MHD_Result answer(void*, MHD_Connection* connection, const char*, const char*, const char*,
                             const char*, size_t* size, void** state) {
        static int marker;
        if (!*state) {
            *state = &marker;
            return MHD_YES;
        }
        if (*size) {
            *size = 0;  // the body is read and dropped
            return MHD_YES;
        }
        static const char body[] = R"({"result": "MA=="})";
        MHD_Response* response = MHD_create_response_from_buffer(sizeof body - 1, const_cast<char*>(body), MHD_RESPMEM_PERSISTENT);
        MHD_add_response_header(response, "Access-Control-Allow-Origin", "https://localhost:8443");
        MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
        MHD_destroy_response(response);
        return result;
    }

    std::string key_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;
};

void BM_BareResponderFixedBody(benchmark::State& state) {
    BareResponder responder;
    if (!responder.port()) return state.SkipWithError("the responder did not start");
    HttpsClientOptions options;
    options.port = responder.port();
    HttpsClient client(options);
    const std::string body = formBody({{"Parameter", base64Encode(sessionEcho("ABCDEFGH_SID"))}});
    HttpHeaders headers = pageHeaders;
    headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
    timedRequests(state, [&] {
        auto response = client.request("POST", "/", headers, body);
        return response && response->status == 200;
    });
}
BENCHMARK(BM_BareResponderFixedBody)->MinTime(3.0)->UseRealTime();

// One Echo without session id: slot, copy, load, unlock, version query and gates, plus one
// request's round trip. The session is force-released outside the timing.
void BM_ServiceNewSessionSetUp(benchmark::State& state) {
    runningService();
    HttpsClient client;
    std::vector<double> latencies;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto session = openSession(client);
        latencies.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        state.PauseTiming();
        if (!session) {
            state.SkipWithError("no session");
            break;
        }
        postRequest(client, R"({"SessionId": ")" + *session + R"(", "FunctionName": "TessarollForceRelease"})", pageHeaders);
        state.ResumeTiming();
    }
    reportLatencies(state, latencies);
}
BENCHMARK(BM_ServiceNewSessionSetUp)->MinTime(3.0)->UseRealTime();

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return -1;
}

// Resident memory of the service with no session and with all 32 slots taken.
void BM_ServiceResidentMemory32Sessions(benchmark::State& state) {
    auto& running = runningService();
    HttpsClient client;
    const pid_t pid = running.service->process().pid();
    const long idle = residentKiB(pid);
    std::vector<std::string> sessions;
    for (auto _ : state) {
        for (int i = 0; i < 32; ++i) {
            auto session = openSession(client);
            if (!session) return state.SkipWithError("no session");
            sessions.push_back(*session);
        }
    }
    state.counters["rss_idle_KiB"] = static_cast<double>(idle);
    state.counters["rss_32_sessions_KiB"] = static_cast<double>(residentKiB(pid));
    for (const auto& session : sessions)
        postRequest(client, R"({"SessionId": ")" + session + R"(", "FunctionName": "TessarollForceRelease"})", pageHeaders);
}
BENCHMARK(BM_ServiceResidentMemory32Sessions)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
