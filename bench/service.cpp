// The loopback HTTPS service under load, side by side with a bare libmicrohttpd responder
// in its own process (six listeners with the service's flags, options, TLS settings and
// form post processor, answering the service's own Echo answer as a fixed body). Many client
// threads, each on its own keep-alive connection, post Echo on open sessions; every Echo
// figure is the median of five runs, ours and the reference taken in turn, and its ratio the
// median of each run against the reference's run beside it. Each Echo load also reports the
// CPU time the listener threads spent per request, which the rest of the machine moves
// less than the rate. Also a new session's set-up against an Echo (medians of five runs, and
// the median of their ratios), and the resident memory idle and with every session slot
// taken. Last, with the test adapter, the time an Echo on an open session, a new session and
// another page's card call take while 80 slow card calls run or wait (goal: under 1.5 s),
// against the same requests on an idle service.
// Run under the ports lock, in its own network, from the stage folder as it is installed (adapter
// and component without debug sections):
//   bash scripts/bench.sh (or the program alone in a network namespace of its own)
// Each figure is one line: BENCH<TAB>figure<TAB>ours<TAB>reference<TAB>ratio
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Tessaroll/Listener.h"
#include "certs/TestCertificates.h"
#include "helpers/ChildProcess.h"
#include "helpers/HttpsClient.h"
#include "helpers/Sandbox.h"
#include "helpers/Service.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

constexpr uint16_t referencePorts[listenerPortCount] = {57482, 57582, 57682};
constexpr int sessionCount = 16;  // half the service's slots; clients beyond share them
constexpr auto runTime = 2s;
constexpr int echoRuns = 5;
const char* const origin = "https://localhost:8443";

// ---- the reference ---------------------------------------------------------------------

struct FormState {
    MHD_PostProcessor* processor = nullptr;
    std::string parameter;
};

MHD_Result collect(void* closure, MHD_ValueKind, const char* key, const char*, const char*,
                   const char*, const char* data, uint64_t, size_t size) {
    if (key && std::strcmp(key, "Parameter") == 0 && size)
        static_cast<FormState*>(closure)->parameter.append(data, size);
    return MHD_YES;
}

std::string fixedAnswer;  // the service's own answer to an Echo, byte for byte

MHD_Result answerFixed(void*, MHD_Connection* connection, const char*, const char*, const char*,
                       const char* upload, size_t* size, void** context) {
    auto* state = static_cast<FormState*>(*context);
    if (!state) {
        state = new FormState;
        state->processor = MHD_create_post_processor(connection, 8192, collect, state);
        *context = state;
        return state->processor ? MHD_YES : MHD_NO;
    }
    if (*size) {
        MHD_post_process(state->processor, upload, *size);
        *size = 0;
        return MHD_YES;
    }
    MHD_Response* response = MHD_create_response_from_buffer(fixedAnswer.size(), fixedAnswer.data(),
                                                             MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, "Access-Control-Allow-Origin", origin);
    MHD_add_response_header(response, "Keep-Alive", "timeout=15, max=100");
    MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
    // Like the service: the hundredth answer on a connection closes it.
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info && info->socket_context &&
        ++*static_cast<unsigned int*>(info->socket_context) >= answersPerConnection)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

void completed(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    auto* state = static_cast<FormState*>(*context);
    if (!state) return;
    if (state->processor) MHD_destroy_post_processor(state->processor);
    delete state;
    *context = nullptr;
}

void countAnswers(void*, MHD_Connection*, void** context, MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
        *context = new unsigned int(0);
    else
        delete static_cast<unsigned int*>(*context);
}

int runReference(const char* answer) {
    fixedAnswer = answer;
    // The tests' own key: the programs hold none.
    const std::string key = testing_support::readFile(std::string(TESSAROLL_BINARY_DIR) +
                                                      "/generated/certs/ec_server.key");
    for (uint16_t port : referencePorts) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        v6.sin6_addr = in6addr_loopback;
        for (auto [flags, address] :
             {std::pair{ipv4ListenerFlags, reinterpret_cast<sockaddr*>(&v4)},
              std::pair{ipv6ListenerFlags, reinterpret_cast<sockaddr*>(&v6)}}) {
            if (!MHD_start_daemon(
                    flags, port, nullptr, nullptr, answerFixed, nullptr, MHD_OPTION_SOCK_ADDR,
                    address, MHD_OPTION_HTTPS_MEM_CERT, ecServerCertificate,
                    MHD_OPTION_HTTPS_MEM_KEY, key.c_str(), MHD_OPTION_HTTPS_PRIORITIES,
                    listenerPriorityText, MHD_OPTION_CONNECTION_TIMEOUT, idleConnectionSeconds,
                    MHD_OPTION_CONNECTION_LIMIT, listenerConnectionCap + 64,
                    MHD_OPTION_NOTIFY_CONNECTION, countAnswers, nullptr,
                    MHD_OPTION_NOTIFY_COMPLETED, completed, nullptr, MHD_OPTION_END)) {
                std::fprintf(stderr, "reference listener on %u did not start\n", port);
                return 1;
            }
        }
    }
    for (;;) pause();
}

// ---- the load --------------------------------------------------------------------------

struct Target {
    std::string address;
    uint16_t port;
};

std::vector<Target> listenersOf(const uint16_t (&ports)[listenerPortCount], int count) {
    std::vector<Target> all;
    for (uint16_t port : ports) {
        all.push_back({"127.0.0.1", port});
        all.push_back({"::1", port});
    }
    all.resize(static_cast<std::size_t>(count));
    return all;
}

HttpsClientOptions optionsFor(const Target& target) {
    HttpsClientOptions options;
    options.address = target.address;
    options.port = target.port;
    return options;
}

std::string formOf(const std::string& json) {
    return formBody({{"Parameter", base64Encode(json)}});
}

const HttpHeaders postHeaders = {{"Origin", origin},
                                 {"Connection", "keep-alive"},
                                 {"Content-Type", "application/x-www-form-urlencoded"}};

const std::string newSessionEcho =
    R"({"FunctionName": "Echo", "PathID": "5D27C0A91B3E4F68A2C7E0B9146D83F2", "minServerVersion": "1.0.23.0510"})";

std::optional<std::string> openSession(HttpsClient& client) {
    auto response = client.request("POST", "/", postHeaders, formOf(newSessionEcho));
    if (!response) return std::nullopt;
    auto answer = decodeAnswer(response->body);
    if (!answer || (*answer)["result"] != "0") return std::nullopt;
    return (*answer)["SessionID"];
}

std::optional<std::string> openSession(const Target& target) {
    HttpsClient client(optionsFor(target));
    return openSession(client);
}

void releaseSession(HttpsClient& client, const std::string& session) {
    client.request(
        "POST", "/", postHeaders,
        formOf(R"({"SessionId": ")" + session + R"(", "FunctionName": "TessarollForceRelease"})"));
}

// Median microseconds of `call` over `rounds` calls; `after` runs outside the timing.
template <typename Call, typename After>
double medianMicroseconds(int rounds, Call call, After after) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto result = call();
        times.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
        if (!result) return -1;
        after(*result);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Nanoseconds on CPU of the process's listener threads so far.
long long listenerCpuNs(pid_t pid) {
    long long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (!std::getline(comm, name) || !name.starts_with("MHD")) continue;
        std::ifstream schedstat(task.path() / "schedstat");
        long long onCpu = 0;
        if (schedstat >> onCpu) total += onCpu;
    }
    return total;
}

struct EchoLoad {
    double perSecond = 0;
    double listenerMicroseconds = 0;  // listener CPU per request
};

// Requests per second of `clients` threads, client i on listener i % listeners, each
// posting its session's Echo on one keep-alive connection for `runTime`, and the CPU
// time the listeners of `server` spent per request.
EchoLoad echoRate(pid_t server, const std::vector<Target>& listeners, int clients,
                  const std::vector<std::string>& sessions) {
    std::atomic<bool> go{false}, stop{false};
    std::atomic<long> done{0}, failed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            HttpsClient client(
                optionsFor(listeners[static_cast<std::size_t>(i) % listeners.size()]));
            const std::string& session = sessions[static_cast<std::size_t>(i) % sessions.size()];
            const std::string body =
                formOf(R"({"SessionId": ")" + session + R"(", "FunctionName": "Echo"})");
            if (!client.connect()) {
                std::fprintf(stderr, "connect: %s\n", client.lastError().c_str());
                ++failed;
                return;
            }
            while (!go) std::this_thread::yield();
            long count = 0;
            while (!stop) {
                auto response = client.request("POST", "/", postHeaders, body);
                if (!response || response->status != 200) {
                    std::fprintf(stderr, "request: %s %d\n", client.lastError().c_str(),
                                 response ? response->status : 0);
                    ++failed;
                    break;
                }
                ++count;
            }
            done += count;
        });
    }
    std::this_thread::sleep_for(200ms);  // connections and handshakes outside the timing
    const long long cpuBefore = listenerCpuNs(server);
    const auto start = std::chrono::steady_clock::now();
    go = true;
    std::this_thread::sleep_for(runTime);
    stop = true;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto& thread : threads) thread.join();
    const long long cpu = listenerCpuNs(server) - cpuBefore;
    if (failed) std::fprintf(stderr, "%ld clients failed\n", failed.load());
    const double requests = static_cast<double>(done);
    return {requests / seconds, requests > 0 ? static_cast<double>(cpu) / 1000 / requests : 0};
}

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
    return -1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double median(const std::vector<EchoLoad>& loads, double EchoLoad::*figure) {
    std::vector<double> values;
    for (const EchoLoad& load : loads) values.push_back(load.*figure);
    return median(values);
}

// The median of each run's figure against the reference's run beside it: the load of the
// machine moves both runs of a pair alike, and the ratio of medians would mix runs of
// different moments.
double medianRatio(const std::vector<EchoLoad>& ours, const std::vector<EchoLoad>& theirs,
                   double EchoLoad::*figure) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < ours.size() && i < theirs.size(); ++i)
        if (theirs[i].*figure > 0) ratios.push_back(ours[i].*figure / (theirs[i].*figure));
    return ratios.empty() ? 0 : median(ratios);
}

// ---- slow card calls ---------------------------------------------------------------------

void report(const std::string& figure, double ours, double reference, int decimals = 0,
            std::optional<double> ratio = std::nullopt);

#ifdef BENCH_TEST_ADAPTER
constexpr int slowCalls = 80;  // more than the service's 64 workers
constexpr int slowSessions = 16;
constexpr int probeRounds = 20;

struct Latency {
    double median;
    double worst;
};

// Milliseconds `call` takes, over `probeRounds` calls; nothing when one had no answer.
template <typename Call>
std::optional<Latency> latency(Call call) {
    std::vector<double> times;
    for (int i = 0; i < probeRounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!call()) return std::nullopt;
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    return Latency{times[times.size() / 2], times.back()};
}

// The probes of a page with an open session on `client`, each timed on its own.
struct Probe {
    const char* figure;
    std::function<bool()> call;
};

std::vector<Probe> pageProbes(HttpsClient& client, const std::string& session) {
    auto answered = [&client](const std::string& json, const std::string& expected) {
        auto response = client.request("POST", "/", postHeaders, formOf(json));
        auto answer = response ? decodeAnswer(response->body) : std::nullopt;
        return answer && (*answer)["result"] == expected;
    };
    const std::string echo = R"({"SessionId": ")" + session + R"(", "FunctionName": "Echo"})";
    const std::string cardCall =
        R"({"SessionId": ")" + session + R"(", "FunctionName": "TestAdapter_Echo", "text": "t"})";
    return {
        {"Echo on an open session", [=] { return answered(echo, "0"); }},
        {"another page's card call", [=] { return answered(cardCall, "t"); }},
        {"new session",
         [&client] {
             auto session = openSession(client);
             if (session) releaseSession(client, *session);
             return session.has_value();
         }},
    };
}

// False when the service did not serve.
bool reportDuringSlowCalls(const Sandbox& sandbox) {
    ServiceOptions options;
    options.logging = false;
    options.adapter = BENCH_TEST_ADAPTER;
    Service service(sandbox, options);
    if (!service.waitListening()) return false;
    const std::vector<Target> ours6 = listenersOf(servicePorts, 6);
    std::vector<std::string> sessions;
    for (int i = 0; i < slowSessions; ++i) {
        auto session = openSession(ours6[static_cast<std::size_t>(i) % ours6.size()]);
        if (!session) return false;
        sessions.push_back(*session);
    }
    HttpsClient page(optionsFor(ours6[1]));
    const std::optional<std::string> pageSession = openSession(page);
    if (!pageSession) return false;
    const std::vector<Probe> probes = pageProbes(page, *pageSession);
    std::vector<Latency> idle;
    for (const Probe& probe : probes) {
        auto measured = latency(probe.call);
        if (!measured) return false;
        idle.push_back(*measured);
    }

    // Five 2 s calls on each of 16 sessions, all sent at once: 16 run, the rest wait.
    std::vector<std::unique_ptr<HttpsClient>> callers;
    for (int i = 0; i < slowCalls; ++i) {
        callers.push_back(std::make_unique<HttpsClient>(
            optionsFor(ours6[static_cast<std::size_t>(i) % ours6.size()])));
        if (!callers.back()->connect()) return false;
    }
    std::vector<std::thread> threads;
    std::atomic<int> slowAnswered{0};
    for (int i = 0; i < slowCalls; ++i) {
        threads.emplace_back([&, i] {
            const std::string json = R"({"SessionId": ")" +
                                     sessions[static_cast<std::size_t>(i % slowSessions)] +
                                     R"(", "FunctionName": "TestAdapter_Sleep", "ms": "2000"})";
            auto response = callers[static_cast<std::size_t>(i)]->request("POST", "/", postHeaders,
                                                                          formOf(json));
            if (response && response->status == 200) ++slowAnswered;
        });
    }
    const auto sent = [&] {
        return std::all_of(callers.begin(), callers.end(),
                           [](const auto& caller) { return caller->sentBytes() > 0; });
    };
    while (!sent()) std::this_thread::yield();
    std::vector<std::optional<Latency>> during;
    for (const Probe& probe : probes) during.push_back(latency(probe.call));
    for (auto& thread : threads) thread.join();
    if (slowAnswered != slowCalls)
        std::fprintf(stderr, "slow calls answered: %d\n", slowAnswered.load());
    for (std::size_t i = 0; i < probes.size(); ++i) {
        if (!during[i]) return false;
        const std::string figure = std::string(probes[i].figure) + " during " +
                                   std::to_string(slowCalls) + " slow card calls";
        report(figure + " p50 (ms)", during[i]->median, idle[i].median, 1);
        report(figure + " worst (ms)", during[i]->worst, idle[i].worst, 1);
    }
    return true;
}
#endif

void report(const std::string& figure, double ours, double reference, int decimals,
            std::optional<double> ratio) {
    if (!ratio) ratio = reference > 0 ? ours / reference : 0.0;
    std::printf("BENCH\t%s\t%.*f\t%.*f\t%.2f\n", figure.c_str(), decimals, ours, decimals,
                reference, *ratio);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--reference") == 0) return runReference(argv[2]);

    Sandbox sandbox;
    ServiceOptions options;
    options.logging = false;  // measure the service, not its log file
    Service service(sandbox, options);
    if (!service.waitListening()) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }
    std::this_thread::sleep_for(500ms);
    const long ourIdleMemory = residentKiB(service.process().pid());

    const std::vector<Target> ours6 = listenersOf(servicePorts, 6),
                              reference6 = listenersOf(referencePorts, 6);
    std::vector<std::string> sessions;
    for (int i = 0; i < sessionCount; ++i) {
        auto session = openSession(ours6[static_cast<std::size_t>(i) % ours6.size()]);
        if (!session) {
            std::fprintf(stderr, "no session\n");
            return 1;
        }
        sessions.push_back(*session);
    }

    // The reference sends what the service answers an Echo on an open session.
    HttpsClient probe(optionsFor(ours6.front()));
    const auto echoed = probe.request(
        "POST", "/", postHeaders,
        formOf(R"({"SessionId": ")" + sessions.front() + R"(", "FunctionName": "Echo"})"));
    if (!echoed || echoed->status != 200 || echoed->body.empty()) {
        std::fprintf(stderr, "no Echo answer\n");
        return 1;
    }
    ChildProcess reference("/proc/self/exe", {"--reference", echoed->body});
    if (!service.waitListening({referencePorts, referencePorts + listenerPortCount})) {
        std::fprintf(stderr, "the reference did not start\n%s", reference.errors().c_str());
        return 1;
    }
    std::this_thread::sleep_for(500ms);
    report("Idle resident memory six listeners (KiB)", static_cast<double>(ourIdleMemory),
           static_cast<double>(residentKiB(reference.pid())));
    const std::vector<std::string> anySession = {"ABCDEFGH_SID"};

    struct Load {
        std::string figure;
        int listeners;
        int clients;
    };
    const Load loads[] = {
        {"Echo on open sessions 1 client 1 listener", 1, 1},
        {"Echo 8 clients 1 listener", 1, 8},
        {"Echo 16 clients 1 listener", 1, 16},
        {"Echo 32 clients 1 listener", 1, 32},
        {"Echo 64 clients 1 listener", 1, 64},
        {"Echo 32 clients six listeners", 6, 32},
    };
    // TESSAROLL_BENCH_ONLY=<part of a figure> runs just the loads whose figure holds it.
    const char* only = std::getenv("TESSAROLL_BENCH_ONLY");
    for (const auto& load : loads) {
        if (only && load.figure.find(only) == std::string::npos) continue;
        std::vector<EchoLoad> ours, theirs;
        const std::vector<Target> ourTargets(ours6.begin(), ours6.begin() + load.listeners);
        const std::vector<Target> theirTargets(reference6.begin(),
                                               reference6.begin() + load.listeners);
        // Five runs each, taking turns at going first: on a shared machine the load of the
        // moment moves either figure by a tenth from one run to the next.
        for (int run = 0; run < echoRuns; ++run) {
            if (run % 2)
                theirs.push_back(echoRate(reference.pid(), theirTargets, load.clients, anySession));
            ours.push_back(echoRate(service.process().pid(), ourTargets, load.clients, sessions));
            if (!(run % 2))
                theirs.push_back(echoRate(reference.pid(), theirTargets, load.clients, anySession));
        }
        if (!service.process().running()) {
            std::fprintf(stderr, "the service ended during \"%s\": %d\n", load.figure.c_str(),
                         service.process().wait(1s).value_or(-1));
            return 1;
        }
        report(load.figure + " (req/s)", median(ours, &EchoLoad::perSecond),
               median(theirs, &EchoLoad::perSecond), 0,
               medianRatio(ours, theirs, &EchoLoad::perSecond));
        report(load.figure + ", listener CPU per request (us)",
               median(ours, &EchoLoad::listenerMicroseconds),
               median(theirs, &EchoLoad::listenerMicroseconds), 1,
               medianRatio(ours, theirs, &EchoLoad::listenerMicroseconds));
    }

    // A new session (slot, adapter copy and load, unlock, version query) against an Echo
    // on an open session, both on one keep-alive connection and at the same pace: each
    // timed request is followed by an untimed one (the new session's release; a second
    // Echo) and, in the first figure, by 2 ms without requests, as pages open sessions when
    // they load (the service makes the next session's adapter meanwhile). The second figure
    // runs them back to back. The goal is at most 4x.
    HttpsClient client(optionsFor(ours6.front()));
    const std::string echoBody =
        formOf(R"({"SessionId": ")" + sessions.front() + R"(", "FunctionName": "Echo"})");
    auto echo = [&] {
        auto response = client.request("POST", "/", postHeaders, echoBody);
        return response && response->status == 200 ? std::optional(true) : std::nullopt;
    };
    auto p50s = [&](std::chrono::microseconds pause, bool echoFirst) {
        auto opening = [&] {
            return medianMicroseconds(
                200, [&] { return openSession(client); },
                [&](const std::string& session) {
                    releaseSession(client, session);
                    std::this_thread::sleep_for(pause);
                });
        };
        auto echoing = [&] {
            return medianMicroseconds(200, echo, [&](bool) {
                echo();
                std::this_thread::sleep_for(pause);
            });
        };
        if (echoFirst) {
            const double echoed = echoing();
            return std::pair(opening(), echoed);
        }
        const double opened = opening();
        return std::pair(opened, echoing());
    };
    for (auto [figure, pause] : {std::pair("New session p50 against Echo p50, one every 2 ms (us)",
                                           std::chrono::microseconds(2ms)),
                                 std::pair("New session p50 against Echo p50, back to back (us)",
                                           std::chrono::microseconds(0))}) {
        // Five runs, taking turns at going first; the ratio is the median of each run's.
        std::vector<double> opening, echoing, ratios;
        for (int run = 0; run < 5; ++run) {
            auto [open, echoed] = p50s(pause, run % 2 == 1);
            opening.push_back(open);
            echoing.push_back(echoed);
            ratios.push_back(open / echoed);
        }
        report(figure, median(opening), median(echoing), 0, median(ratios));
    }

    // Every slot taken: the sessions of the load and as many again.
    for (int i = 0; i < sessionCount; ++i) {
        if (auto session = openSession(client)) sessions.push_back(*session);
    }
    report("Resident memory with " + std::to_string(sessions.size()) + " sessions open (KiB)",
           static_cast<double>(residentKiB(service.process().pid())),
           static_cast<double>(residentKiB(reference.pid())));
    reference.kill();
#ifdef BENCH_TEST_ADAPTER
    if (!only || std::string("slow card calls").find(only) != std::string::npos) {
        service.stop();
        if (!reportDuringSlowCalls(sandbox)) {
            std::fprintf(stderr, "no figures during slow card calls\n");
            return 1;
        }
    }
#endif
    return 0;
}
