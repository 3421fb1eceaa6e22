// The card path through the whole stack (HTTPS, dispatcher, adapter, component) against the same
// work done directly with GnuTLS on the same SoftHSM2 token, measured in one run, on tokens with
// 1, 10 and 50 certificates:
//   GPKI_SignData: ours signs with the PIN per call; the reference logs in, opens the key and
//                  makes the CMS SignedData per signature.
//   GPKI_EnumCerts: ours answers every certificate; the reference lists, exports and Base64s them.
// Medians in microseconds. It starts the service on its fixed ports: run it in its own network
// namespace (scripts/bench.sh does). Rows: BENCH<TAB>figure<TAB>ours<TAB>reference<TAB>ratio.
#include "helpers/HttpsClient.h"
#include "helpers/Sandbox.h"
#include "helpers/Service.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/pkcs11.h>
#include <gnutls/pkcs7.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

const char* kPin = "123456";
constexpr int kRounds = 60;
const std::string kAdapter =
    R"("LibDir":"ZEFAGPKI","ComName":"ZEFAVZDediGPKICryptATLAdapter","minServerVersion":"0.0.0.0","minLibVersion":"0.0.0.0")";

int pinCallback(void*, int attempt, const char*, const char*, unsigned, char* pin, size_t max) {
    if (attempt > 0 || std::strlen(kPin) + 1 > max) return -1;
    std::strcpy(pin, kPin);
    return 0;
}

std::string run(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    char buf[512];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = p ? pclose(p) : -1;
    if (status) *status = rc;
    return out;
}

std::string softhsmModule() {
    return fs::exists("/usr/lib/softhsm/libsofthsm2.so") ? "/usr/lib/softhsm/libsofthsm2.so"
                                                         : "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so";
}

// A demo token with its signing certificate and `count - 1` more (encryption only, no key), as a
// card with a long history carries them.
bool makeToken(const std::string& label, int count, const fs::path& work) {
    int status = 0;
    std::string out = run("bash " TESSAROLL_SOURCE_DIR "/scripts/demo-token.sh --label '" + label + "' 2>&1", &status);
    if (status != 0) {
        std::fprintf(stderr, "%s", out.c_str());
        return false;
    }
    std::string key = (work / "extra.key").string();
    if (!fs::exists(key)) run("certtool --generate-privkey --key-type rsa --bits 2048 --outfile " + key + " 2>/dev/null");
    std::string url = "pkcs11:token=" + label.substr(0, label.find(' ')) + "%20" + label.substr(label.find(' ') + 1);
    for (int i = 2; i <= count; ++i) {
        fs::path tmpl = work / "extra.tmpl", pem = work / "extra.pem";
        writeFile(tmpl, "cn = \"Old certificate " + std::to_string(i) + "\"\nserial = " + std::to_string(1000 + i) +
                            "\nexpiration_days = 365\nencryption_key\n");
        run("certtool --generate-self-signed --load-privkey " + key + " --template " + tmpl.string() + " --outfile " +
            pem.string() + " 2>/dev/null");
        char id[8];
        std::snprintf(id, sizeof id, "%02x", 0x10 + i);
        out = run("GNUTLS_PIN=" + std::string(kPin) + " p11tool --provider " + softhsmModule() +
                      " --login --write --load-certificate " + pem.string() + " --label old" + std::to_string(i) +
                      " --id " + id + " '" + url + "' 2>&1",
                  &status);
        if (status != 0) {
            std::fprintf(stderr, "%s", out.c_str());
            return false;
        }
    }
    return true;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

template <typename F>
double timeOnce(F f) {
    auto t0 = std::chrono::steady_clock::now();
    if (!f()) return -1;
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

void row(const std::string& figure, double ours, double reference) {
    std::printf("BENCH\t%s\t%.0f us\t%.0f us\t%.2f\n", figure.c_str(), ours, reference, ours / reference);
    std::fflush(stdout);
}

class Stack {
public:
    Stack(HttpsClientOptions options, std::string session)
        : options_(std::move(options)), client_(std::make_unique<HttpsClient>(options_)), session_(std::move(session)) {}
    std::optional<std::string> call(const std::string& function, const std::string& fields) {
        std::string json = R"({"FunctionName":")" + function + R"(",)" + kAdapter + R"(,"SessionId":")" + session_ + "\"" +
                           (fields.empty() ? "" : "," + fields) + "}";
        auto r = postRequest(*client_, json);
        if (!r) {  // the service closed the kept-alive connection: a new one, as a browser would
            client_ = std::make_unique<HttpsClient>(options_);
            r = postRequest(*client_, json);
        }
        auto decoded = r ? decodeAnswer(r->body) : std::nullopt;
        if (!decoded || !decoded->count("result")) return std::nullopt;
        if (decoded->count("ret_code") && decoded->at("ret_code") != "0") return std::nullopt;
        return decoded->at("result");
    }

private:
    HttpsClientOptions options_;
    std::unique_ptr<HttpsClient> client_;
    std::string session_;
};

// The direct way: a login, the key opened by URL and a CMS SignedData of the same data.
bool signDirect(gnutls_x509_crt_t cert, const std::string& keyUrl, const std::string& data) {
    gnutls_privkey_t key;
    gnutls_privkey_init(&key);
    gnutls_privkey_set_pin_function(key, pinCallback, nullptr);
    bool ok = gnutls_privkey_import_url(key, keyUrl.c_str(), 0) >= 0;
    gnutls_pkcs7_t p7;
    gnutls_pkcs7_init(&p7);
    gnutls_datum_t d{reinterpret_cast<unsigned char*>(const_cast<char*>(data.data())), static_cast<unsigned>(data.size())};
    ok = ok && gnutls_pkcs7_sign(p7, cert, key, &d, nullptr, nullptr, GNUTLS_DIG_SHA256,
                                 GNUTLS_PKCS7_EMBED_DATA | GNUTLS_PKCS7_INCLUDE_TIME | GNUTLS_PKCS7_INCLUDE_CERT) >= 0;
    gnutls_datum_t out{nullptr, 0};
    ok = ok && gnutls_pkcs7_export2(p7, GNUTLS_X509_FMT_DER, &out) >= 0;
    gnutls_free(out.data);
    gnutls_pkcs7_deinit(p7);
    gnutls_privkey_deinit(key);
    return ok;
}

// The direct way to list: every certificate object of the token exported and Base64-encoded.
bool enumDirect(const std::string& tokenUrl, size_t expected) {
    gnutls_pkcs11_obj_t* objs = nullptr;
    unsigned count = 0;
    if (gnutls_pkcs11_obj_list_import_url4(&objs, &count, tokenUrl.c_str(), GNUTLS_PKCS11_OBJ_FLAG_CRT) < 0) return false;
    std::string all;
    for (unsigned i = 0; i < count; ++i) {
        gnutls_datum_t der{nullptr, 0}, b64{nullptr, 0};
        if (gnutls_pkcs11_obj_export2(objs[i], &der) >= 0 && gnutls_base64_encode2(&der, &b64) >= 0)
            all.append(reinterpret_cast<char*>(b64.data), b64.size).append(";");
        gnutls_free(der.data);
        gnutls_free(b64.data);
        gnutls_pkcs11_obj_deinit(objs[i]);
    }
    gnutls_free(objs);
    return count == expected;
}

}  // namespace

int main() {
    Sandbox sandbox;
    fs::path demo = sandbox.dataHome() / "ZEFAGPKI" / "demo-token";
    std::string conf = (demo / "softhsm2.conf").string();
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    const int counts[] = {1, 10, 50};
    for (int count : counts)
        if (!makeToken("Bench " + std::to_string(count), count, sandbox.tempDir())) return 1;

    for (uint16_t port : servicePorts)
        if (canConnect("127.0.0.1", port)) {
            std::fprintf(stderr, "bench_card: the service ports are taken (run it under unshare -n)\n");
            return 1;
        }
    ServiceOptions options;
    options.logging = false;
    options.environment = {{"SOFTHSM2_CONF", conf}};
    Service service(sandbox, options);
    if (!service.waitListening()) {
        std::fprintf(stderr, "bench_card: the service does not listen\n");
        return 1;
    }
    HttpsClientOptions clientOptions;
    clientOptions.trustFile = Service::rootCertificate(false).string();
    HttpsClient client(clientOptions);
    auto echo = postRequest(client, R"({"FunctionName":"Echo",)" + kAdapter + "}");
    auto answer = echo ? decodeAnswer(echo->body) : std::nullopt;
    if (!answer || !answer->count("SessionID")) {
        std::fprintf(stderr, "bench_card: no session from the service: %s\n", echo ? echo->body.c_str() : "no answer");
        return 1;
    }
    Stack stack(clientOptions, answer->at("SessionID"));

    gnutls_pkcs11_init(GNUTLS_PKCS11_FLAG_AUTO, nullptr);
    auto slots = stack.call("GPKI_GetSlotCount", "");
    int slotCount = slots ? std::atoi(slots->c_str()) : 0;
    const std::string sign = R"("sOptPIN":")" + std::string(kPin) +
                             R"(","sData":"benchmark text","signcodepage":"65001","iFlags":"0","iHashFlag":"0")";
    for (int count : counts) {
        std::string label = "Bench " + std::to_string(count);
        std::string pem = readFile(demo / ("Bench-" + std::to_string(count) + "-rsa.pem"));
        std::string serial = run("softhsm2-util --show-slots | awk -v want='" + label +
                                 "' '/Serial number:/ {s=$3} /Label:/ {sub(/^ *Label: */, \"\"); sub(/ *$/, \"\"); "
                                 "if ($0 == want) printf \"%s\", s}'");
        bool found = false;
        for (int slot = 0; slot < slotCount && !found; ++slot) {
            stack.call("GPKI_SetReaderSlot", R"("iFlags":"0","slot":")" + std::to_string(slot) + "\"");
            found = stack.call("GPKI_GetSerialNumber", "") == serial;
        }
        if (!found) {
            std::fprintf(stderr, "bench_card: token %s not found\n", label.c_str());
            return 1;
        }
        gnutls_x509_crt_t cert;
        gnutls_x509_crt_init(&cert);
        gnutls_datum_t pd{reinterpret_cast<unsigned char*>(pem.data()), static_cast<unsigned>(pem.size())};
        gnutls_x509_crt_import(cert, &pd, GNUTLS_X509_FMT_PEM);
        const std::string tokenUrl = "pkcs11:token=Bench%20" + std::to_string(count);
        const std::string keyUrl = tokenUrl + ";id=%01;type=private";

        std::vector<double> ours, reference, oursEnum, referenceEnum;
        for (int i = 0; i < kRounds; ++i) {
            ours.push_back(timeOnce([&] {
                auto r = stack.call("GPKI_SignData", sign);
                return r && r->size() > 100;
            }));
            reference.push_back(timeOnce([&] { return signDirect(cert, keyUrl, "benchmark text"); }));
            oursEnum.push_back(timeOnce([&] {
                auto r = stack.call("GPKI_EnumCerts", R"("iFlags":"0")");
                return r && static_cast<int>(std::count(r->begin(), r->end(), ';')) == count;
            }));
            referenceEnum.push_back(timeOnce([&] { return enumDirect(tokenUrl, static_cast<size_t>(count)); }));
        }
        gnutls_x509_crt_deinit(cert);
        const std::pair<const char*, std::vector<double>*> measured[] = {
            {"GPKI_SignData", &ours}, {"direct signing", &reference}, {"GPKI_EnumCerts", &oursEnum}, {"direct listing", &referenceEnum}};
        for (const auto& [what, times] : measured)
            if (std::find(times->begin(), times->end(), -1.0) != times->end()) {
                std::fprintf(stderr, "bench_card: %s failed on %s\n", what, label.c_str());
                return 1;
            }
        std::string certs = std::to_string(count) + (count == 1 ? " certificate" : " certificates");
        row("GPKI_SignData, " + certs + " (vs GnuTLS login + CMS sign)", median(ours), median(reference));
        row("GPKI_EnumCerts, " + certs + " (vs GnuTLS list + export + Base64)", median(oursEnum), median(referenceEnum));
    }
    service.stop();
    return 0;
}
