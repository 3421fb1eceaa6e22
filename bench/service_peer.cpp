// What the listeners' peer check costs: new TLS connections per second to a bare
// listener with the service's flags and TLS settings, with and without the check in its
// accept policy, and one lookup beside one TLS handshake (the goal: under 10 %).
//   /work/tools/isolated.sh build/bench/bench_service_peer
// Each figure is one line: BENCH<TAB>figure<TAB>ours<TAB>reference<TAB>ratio
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Tessaroll/Listener.h"
#include "certs/TestCertificates.h"
#include "helpers/HttpsClient.h"
#include "helpers/Sandbox.h"
#include "platform/Peers.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

sockaddr_in listenerAddress{};

MHD_Result checkPeer(void*, const sockaddr* peer, socklen_t length) {
    auto owner = loopbackPeerOwner(
        peer, length, reinterpret_cast<const sockaddr*>(&listenerAddress), sizeof listenerAddress);
    return owner == static_cast<uint32_t>(geteuid()) ? MHD_YES : MHD_NO;
}

MHD_Result refuseRequest(void*, MHD_Connection*, const char*, const char*, const char*, const char*,
                         size_t*, void**) {
    return MHD_NO;
}

struct Listener {
    MHD_Daemon* daemon = nullptr;
    uint16_t port = 0;
    Listener(bool withCheck, const std::string& key) {
        listenerAddress.sin_family = AF_INET;
        listenerAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listenerAddress.sin_port = 0;
        daemon = MHD_start_daemon(
            ipv4ListenerFlags, 0, withCheck ? checkPeer : nullptr, nullptr, refuseRequest, nullptr,
            MHD_OPTION_SOCK_ADDR, &listenerAddress, MHD_OPTION_HTTPS_MEM_CERT, ecServerCertificate,
            MHD_OPTION_HTTPS_MEM_KEY, key.c_str(), MHD_OPTION_HTTPS_PRIORITIES,
            listenerPriorityText, MHD_OPTION_END);
        if (daemon) port = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT)->port;
        listenerAddress.sin_port = htons(port);
    }
    ~Listener() {
        if (daemon) MHD_stop_daemon(daemon);
    }
};

// TCP connect and TLS handshake, one after another for two seconds.
double connectionsPerSecond(uint16_t port) {
    HttpsClientOptions options;
    options.port = port;
    long count = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 2s) {
        HttpsClient client(options);
        if (!client.connect()) {
            std::fprintf(stderr, "connect: %s\n", client.lastError().c_str());
            return 0;
        }
        ++count;
    }
    return static_cast<double>(count) /
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename Lookup>
double microsecondsPerLookup(Lookup lookup) {
    constexpr int rounds = 2000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
        if (lookup() != static_cast<uint32_t>(geteuid())) return -1;
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
               .count() /
           rounds;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void report(const char* figure, double ours, double reference) {
    std::printf("BENCH\t%s\t%.1f\t%.1f\t%.3f\n", figure, ours, reference,
                reference > 0 ? ours / reference : 0.0);
}

}  // namespace

int main() {
    // The tests' own key: the programs hold none.
    const std::string key = testing_support::readFile(std::string(TESSAROLL_BINARY_DIR) +
                                                      "/generated/certs/ec_server.key");

    std::vector<double> with, without;
    for (int run = 0; run < 3; ++run) {
        for (bool check : {true, false}) {
            Listener listener(check, key);
            if (!listener.port) {
                std::fprintf(stderr, "the listener did not start\n");
                return 1;
            }
            (check ? with : without).push_back(connectionsPerSecond(listener.port));
        }
    }
    const double withCheck = median(with), withoutCheck = median(without);
    report("New TLS connections with and without the peer check (conn/s)", withCheck, withoutCheck);

    // One lookup of a live connection's peer, against one handshake.
    const int server = socket(AF_INET, SOCK_STREAM, 0), client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(server, reinterpret_cast<sockaddr*>(&address), &length);
    listen(server, 1);
    connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const int accepted = accept(server, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    const auto* peerAddress = reinterpret_cast<const sockaddr*>(&peer);
    const auto* ownAddress = reinterpret_cast<const sockaddr*>(&address);
    const double handshake = 1e6 / withoutCheck;
    report("Peer lookup against one TLS handshake (us)", microsecondsPerLookup([&] {
               return loopbackPeerOwner(peerAddress, peerLength, ownAddress, length);
           }),
           handshake);
    const SocketEndpoint peerEndpoint = *socketEndpoint(peerAddress, peerLength);
    const SocketEndpoint ownEndpoint = *socketEndpoint(ownAddress, length);
    report("Peer lookup through /proc/net/tcp against one TLS handshake (us)",
           microsecondsPerLookup([&] {
               return socketTablePeerOwner(readSocketTable(false), false, peerEndpoint,
                                           ownEndpoint);
           }),
           handshake);
    close(accepted);
    close(client);
    close(server);
    return 0;
}
