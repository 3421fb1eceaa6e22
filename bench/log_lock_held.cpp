// Ten new sessions of the staged service, with logging on, while another program holds the
// log lock that every user's programs share ("Global\VZLog") and never lets go, against ten
// with the lock free. Every session loads an adapter copy that logs through a logger of its
// own; the holder costs the service one bounded wait, after which no copy waits for the
// lock for a while. The holder is a second process of this user: the lock is the same
// for a holder of another user.
// Run under the ports lock, in its own network and /dev/shm: bash scripts/bench.sh
// One row: BENCH<TAB>figure<TAB>ours<TAB>reference<TAB>ratio (milliseconds).
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "helpers/ChildProcess.h"
#include "helpers/HttpsClient.h"
#include "helpers/Sandbox.h"
#include "helpers/Service.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

constexpr int kSessions = 10;
const char* const kOrigin = "https://localhost:8443";
const char* const kEcho =
    R"({"FunctionName": "Echo", "PathID": "5D27C0A91B3E4F68A2C7E0B9146D83F2", "minServerVersion": "1.0.23.0510"})";

HttpsClientOptions clientOptions() {
    HttpsClientOptions options;
    options.address = "127.0.0.1";
    options.port = servicePorts[0];
    options.trustFile = Service::rootCertificate().string();
    options.verifyName = "localhost";
    return options;
}

// Milliseconds for the new sessions against a freshly started service; nothing on failure.
std::optional<double> newSessionsMs() {
    Sandbox sandbox;
    Service service(sandbox);
    if (!service.waitListening()) return std::nullopt;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kSessions; ++i) {
        HttpsClient client(clientOptions());
        auto response = postRequest(client, kEcho, {{"Origin", kOrigin}});
        auto answer = response ? decodeAnswer(response->body) : std::nullopt;
        if (!answer || (*answer)["result"] != "0") return std::nullopt;
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int main() {
    const std::optional<double> free = newSessionsMs();
    ChildProcess holder(MUTEX_HOLDER, {"Global\\VZLog", "hold"});
    if (!waitUntil([&] { return holder.output().find("held") != std::string::npos; })) {
        std::fprintf(stderr, "the holder did not take the lock: %s\n", holder.errors().c_str());
        return 1;
    }
    const std::optional<double> held = newSessionsMs();
    if (!free || !held) {
        std::fprintf(stderr, "a session could not be opened\n");
        return 1;
    }
    std::printf("BENCH\t%d new sessions, shared log lock held for good (ms)\t%.0f\t%.0f\t%.2f\n",
                kSessions, *held, *free, *held / *free);
    return 0;
}
