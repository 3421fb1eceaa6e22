// One GPKI_SignData through the whole stack (HTTPS, dispatcher, adapter, component) against
// the same CMS signature made directly with GnuTLS on the same SoftHSM2 token. Both sides log
// in with the PIN, open the key and sign per signature. Reported: microseconds of each and
// their ratio. It starts the service on its fixed ports: run it under
//   flock /tmp/tessaroll-ports.lock build/bench/bench_card
#include "helpers/HttpsClient.h"
#include "helpers/Sandbox.h"
#include "helpers/Service.h"

#include <benchmark/benchmark.h>
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/pkcs11.h>
#include <gnutls/pkcs7.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

const char* kPin = "123456";

int pinCallback(void*, int attempt, const char*, const char*, unsigned, char* pin, size_t max) {
    if (attempt > 0 || std::strlen(kPin) + 1 > max) return -1;
    std::strcpy(pin, kPin);
    return 0;
}

std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    char buf[512];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (p) pclose(p);
    return out;
}

// The direct way: a login, the key opened by URL and a CMS SignedData of the same data.
std::string signDirect(gnutls_x509_crt_t cert, const std::string& keyUrl, const std::string& data) {
    gnutls_privkey_t key;
    gnutls_privkey_init(&key);
    gnutls_privkey_set_pin_function(key, pinCallback, nullptr);
    if (gnutls_privkey_import_url(key, keyUrl.c_str(), 0) < 0) {
        gnutls_privkey_deinit(key);
        return {};
    }
    gnutls_pkcs7_t p7;
    gnutls_pkcs7_init(&p7);
    gnutls_datum_t d{reinterpret_cast<unsigned char*>(const_cast<char*>(data.data())), static_cast<unsigned>(data.size())};
    gnutls_pkcs7_sign(p7, cert, key, &d, nullptr, nullptr, GNUTLS_DIG_SHA256,
                      GNUTLS_PKCS7_EMBED_DATA | GNUTLS_PKCS7_INCLUDE_TIME | GNUTLS_PKCS7_INCLUDE_CERT);
    gnutls_datum_t out{nullptr, 0};
    gnutls_pkcs7_export2(p7, GNUTLS_X509_FMT_DER, &out);
    std::string der(reinterpret_cast<char*>(out.data), out.size);
    gnutls_free(out.data);
    gnutls_pkcs7_deinit(p7);
    gnutls_privkey_deinit(key);
    return der;
}

void BM_SignDataStackVsDirect(benchmark::State& state) {
    Sandbox sandbox;
    std::string made = run("bash " TESSAROLL_SOURCE_DIR "/scripts/demo-token.sh 2>&1");
    fs::path demo = sandbox.dataHome() / "ZEFAGPKI" / "demo-token";
    std::string conf = (demo / "softhsm2.conf").string();
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);

    // Another program on the service ports would answer in our service's place.
    bool free = waitUntil(
        [] {
            for (uint16_t port : servicePorts)
                if (canConnect("127.0.0.1", port)) return false;
            return true;
        },
        std::chrono::seconds(15));
    if (!free) {
        state.SkipWithError("the service ports are taken by another program");
        return;
    }
    ServiceOptions options;
    options.logging = false;
    options.environment = {{"SOFTHSM2_CONF", conf}};
    Service service(sandbox, options);
    if (!service.waitListening()) {
        state.SkipWithError("the service does not listen (ports taken?)");
        return;
    }
    HttpsClientOptions clientOptions;
    clientOptions.trustFile = Service::rootCertificate(false).string();
    HttpsClient client(clientOptions);
    const std::string adapter =
        R"("LibDir":"ZEFAGPKI","ComName":"ZEFAVZDediGPKICryptATLAdapter","minServerVersion":"0.0.0.0","minLibVersion":"0.0.0.0")";
    auto echo = postRequest(client, R"({"FunctionName":"Echo",)" + adapter + "}");
    auto answer = echo ? decodeAnswer(echo->body) : std::nullopt;
    if (!answer || !answer->count("SessionID")) {
        state.SkipWithError("no session from the service");
        return;
    }
    const std::string session = answer->at("SessionID");
    const std::string sign = R"({"FunctionName":"GPKI_SignData","TessarollFunctionIndex":"49",)" + adapter +
                             R"(,"SessionId":")" + session +
                             R"(","sOptPIN":"123456","sData":"benchmark text","signcodepage":"65001","iFlags":"0","iHashFlag":"0"})";

    // The direct side: GnuTLS on the same token, through SoftHSM2 itself.
    gnutls_pkcs11_init(GNUTLS_PKCS11_FLAG_AUTO, nullptr);
    std::string pem = readFile(demo / "Tessaroll-Demo-rsa.pem");
    gnutls_x509_crt_t cert;
    gnutls_x509_crt_init(&cert);
    gnutls_datum_t pd{reinterpret_cast<unsigned char*>(pem.data()), static_cast<unsigned>(pem.size())};
    gnutls_x509_crt_import(cert, &pd, GNUTLS_X509_FMT_PEM);
    const std::string keyUrl = "pkcs11:token=Tessaroll%20Demo;id=%01;type=private";

    double stack = 0, direct = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        auto r = postRequest(client, sign);
        auto t1 = std::chrono::steady_clock::now();
        std::string der = signDirect(cert, keyUrl, "benchmark text");
        auto t2 = std::chrono::steady_clock::now();
        auto decoded = r ? decodeAnswer(r->body) : std::nullopt;
        if (!decoded || decoded->at("result").size() < 100 || der.empty()) {
            state.SkipWithError("a signature failed");
            break;
        }
        stack += std::chrono::duration<double, std::micro>(t1 - t0).count();
        direct += std::chrono::duration<double, std::micro>(t2 - t1).count();
    }
    gnutls_x509_crt_deinit(cert);
    auto n = static_cast<double>(state.iterations());
    if (n > 0 && direct > 0) {
        state.counters["stack_us"] = stack / n;
        state.counters["direct_us"] = direct / n;
        state.counters["ratio"] = stack / direct;
    }
    service.stop();
}

}  // namespace

BENCHMARK(BM_SignDataStackVsDirect)->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
