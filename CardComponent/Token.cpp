#include "CardComponent/Token.h"

#include "CardComponent/CardErrors.h"
#include "platform/Folders.h"

#include <gnutls/gnutls.h>
#include <gnutls/pkcs11.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sys/stat.h>

namespace card {

namespace fs = std::filesystem;

namespace {

// The PIN that the next login may use: set only while tokenMutex() is held.
const SecretString* g_loginPin = nullptr;

int pinCallback(void* userdata, int attempt, const char*, const char*, unsigned flags, char* pin,
                size_t pinMax) {
    const SecretString* given = userdata ? static_cast<const SecretString*>(userdata) : g_loginPin;
    // One attempt only: a second call means the PIN was wrong, and trying it again would only
    // use up the token's tries.
    if (!given || attempt > 0 || (flags & (GNUTLS_PIN_WRONG | GNUTLS_PIN_SO))) return -1;
    if (given->size() + 1 > pinMax) return -1;
    std::memcpy(pin, given->data(), given->size());
    pin[given->size()] = '\0';
    return 0;
}

struct PinScope {
    explicit PinScope(const SecretString* pin) { g_loginPin = pin; }
    ~PinScope() { g_loginPin = nullptr; }
};

std::string g_module;
bool g_ready = false;

void ensureReady() {
    if (g_ready) return;
    int r = g_module.empty() ? gnutls_pkcs11_init(GNUTLS_PKCS11_FLAG_AUTO, nullptr)
                             : gnutls_pkcs11_init(GNUTLS_PKCS11_FLAG_MANUAL, nullptr);
    if (r < 0) fail(kModuleNotFound);
    if (!g_module.empty() && gnutls_pkcs11_add_provider(g_module.c_str(), nullptr) < 0) {
        gnutls_pkcs11_deinit();
        fail(kModuleNotFound);
    }
    gnutls_pkcs11_set_pin_function(pinCallback, nullptr);
    g_ready = true;
}

bool isProxyModule(const fs::path& path) { return path.filename() == "p11-kit-proxy.so"; }

bool inModuleFolder(const fs::path& real) {
    static const char* const kFolders[] = {
        "/usr/lib/x86_64-linux-gnu/pkcs11", "/usr/lib/x86_64-linux-gnu/softhsm",
        "/usr/lib/x86_64-linux-gnu",        "/usr/lib/softhsm",
        "/usr/lib/pkcs11",                  "/usr/lib64/pkcs11",
        "/usr/local/lib/pkcs11",            "/usr/lib/aarch64-linux-gnu/pkcs11",
    };
    for (const char* folder : kFolders)
        if (real.parent_path() == folder) return true;
    return false;
}

std::string tokenInfo(const std::string& url, gnutls_pkcs11_token_info_t what) {
    char buf[256];
    size_t size = sizeof buf;
    if (gnutls_pkcs11_token_get_info(url.c_str(), what, buf, &size) < 0) return {};
    std::string s(buf, strnlen(buf, sizeof buf));
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

std::string percentEncode(std::string_view bytes) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

// Consecutive wrong PINs per token, kept in the user's data folder so that restarting the
// service does not give the tries back.
fs::path tryFile() { return fs::path(commonAppDataFolder()) / "ZEFAGPKI" / "CardComponent" / "pin-tries"; }

std::string tokenKey(const Token& token) { return token.serial + "/" + token.label; }

std::map<std::string, int> readTries() {
    std::map<std::string, int> tries;
    std::ifstream in(tryFile());
    std::string line;
    while (std::getline(in, line)) {
        auto space = line.rfind(' ');
        if (space == std::string::npos) continue;
        tries[line.substr(0, space)] = std::atoi(line.c_str() + space + 1);
    }
    return tries;
}

void writeTries(const std::map<std::string, int>& tries) {
    fs::path file = tryFile();
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    fs::path tmp = file;
    tmp += ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (const auto& [key, count] : tries)
            if (count > 0) out << key << ' ' << count << '\n';
    }
    ::chmod(tmp.c_str(), 0600);
    fs::rename(tmp, file, ec);
}

int failures(const Token& token) {
    auto tries = readTries();
    auto it = tries.find(tokenKey(token));
    return it == tries.end() ? 0 : it->second;
}

void recordOutcome(const Token& token, bool wrong) {
    auto tries = readTries();
    int& count = tries[tokenKey(token)];
    int before = count;
    count = wrong ? count + 1 : 0;
    if (count != before) writeTries(tries);
}

HResult loginError(int r) {
    switch (r) {
        case GNUTLS_E_PKCS11_PIN_ERROR: return kWrongPin;
        case GNUTLS_E_PKCS11_PIN_LOCKED: return kPinBlocked;
        case GNUTLS_E_PKCS11_PIN_EXPIRED: return kPinBlocked;
        case GNUTLS_E_PKCS11_TOKEN_ERROR:
        case GNUTLS_E_PKCS11_SLOT_ERROR:
        case GNUTLS_E_PKCS11_DEVICE_ERROR: return kNoSmartCard;
        default: return kFailed;
    }
}

// Runs a login-requiring GnuTLS call with the PIN, counting wrong PINs and refusing once the
// component's limit is reached.
template <typename F>
int withPin(const Token& token, const SecretString& pin, F call) {
    if (remainingPinTries(token) <= 0) fail(kPinBlocked);
    if (pin.empty()) fail(kNotAuthenticated);
    PinScope scope(&pin);
    int r = call();
    if (r == GNUTLS_E_PKCS11_PIN_ERROR) {
        recordOutcome(token, true);
        fail(remainingPinTries(token) <= 0 ? kPinBlocked : kWrongPin);
    }
    if (r == GNUTLS_E_PKCS11_PIN_LOCKED) fail(kPinBlocked);
    if (r >= 0) recordOutcome(token, false);
    return r;
}

struct ObjectList {
    gnutls_pkcs11_obj_t* objs = nullptr;
    unsigned count = 0;
    ~ObjectList() {
        for (unsigned i = 0; i < count; ++i) gnutls_pkcs11_obj_deinit(objs[i]);
        gnutls_free(objs);
    }
};

}  // namespace

std::mutex& tokenMutex() {
    static std::mutex m;
    return m;
}

const std::string& pkcs11Module() { return g_module; }

void usePkcs11Module(const std::string& path) {
    std::string wanted;
    if (!path.empty()) {
        std::error_code ec;
        fs::path real = fs::canonical(path, ec);
        if (ec || !fs::is_regular_file(real)) fail(kModuleNotFound);
        if (!inModuleFolder(real)) fail(kAccessDenied);
        if (!isProxyModule(real)) wanted = real.string();
    }
    if (g_ready) {
        gnutls_pkcs11_deinit();
        g_ready = false;
    }
    std::string previous = g_module;
    g_module = wanted;
    try {
        ensureReady();
    } catch (const CardError&) {
        g_module = previous;  // keep the component usable with what worked before
        try {
            ensureReady();
        } catch (const CardError&) {
        }
        throw;
    }
}

std::vector<Token> presentTokens() {
    ensureReady();
    std::vector<Token> tokens;
    for (unsigned i = 0;; ++i) {
        char* url = nullptr;
        if (gnutls_pkcs11_token_get_url(i, GNUTLS_PKCS11_URL_GENERIC, &url) < 0) break;
        Token t;
        t.url = url;
        gnutls_free(url);
        if (gnutls_pkcs11_token_get_flags(t.url.c_str(), &t.flags) < 0) continue;
        if (t.flags & GNUTLS_PKCS11_TOKEN_TRUSTED) continue;  // the system trust store, not a card
        if (!(t.flags & GNUTLS_PKCS11_TOKEN_INITIALIZED)) continue;
        t.label = tokenInfo(t.url, GNUTLS_PKCS11_TOKEN_LABEL);
        t.serial = tokenInfo(t.url, GNUTLS_PKCS11_TOKEN_SERIAL);
        tokens.push_back(std::move(t));
    }
    return tokens;
}

std::vector<TokenCertificate> tokenCertificates(const Token& token, const SecretString* pin) {
    ensureReady();
    ObjectList list;
    unsigned flags = GNUTLS_PKCS11_OBJ_FLAG_CRT;
    int r;
    if (pin && !pin->empty()) {
        r = withPin(token, *pin, [&] {
            return gnutls_pkcs11_obj_list_import_url4(&list.objs, &list.count, token.url.c_str(),
                                                      flags | GNUTLS_PKCS11_OBJ_FLAG_LOGIN);
        });
    } else {
        r = gnutls_pkcs11_obj_list_import_url4(&list.objs, &list.count, token.url.c_str(), flags);
    }
    if (r < 0) fail(loginError(r));
    std::vector<TokenCertificate> out;
    for (unsigned i = 0; i < list.count; ++i) {
        gnutls_datum_t der{nullptr, 0};
        if (gnutls_pkcs11_obj_export2(list.objs[i], &der) < 0) continue;
        std::string bytes(reinterpret_cast<char*>(der.data), der.size);
        gnutls_free(der.data);
        unsigned char id[128];
        size_t idSize = sizeof id;
        if (gnutls_pkcs11_obj_get_info(list.objs[i], GNUTLS_PKCS11_OBJ_ID, id, &idSize) < 0) idSize = 0;
        try {
            out.push_back({Certificate::fromDer(bytes), std::string(reinterpret_cast<char*>(id), idSize)});
        } catch (const CardError&) {
            // an object that is not a readable X.509 certificate is not offered
        }
    }
    return out;
}

void verifyPin(const Token& token, const SecretString& pin) {
    ensureReady();
    ObjectList list;
    int r = withPin(token, pin, [&] {
        return gnutls_pkcs11_obj_list_import_url4(&list.objs, &list.count, token.url.c_str(),
                                                  GNUTLS_PKCS11_OBJ_FLAG_PRIVKEY | GNUTLS_PKCS11_OBJ_FLAG_LOGIN);
    });
    if (r < 0) fail(loginError(r));
}

void changePin(const Token& token, const SecretString& oldPin, const SecretString& newPin) {
    ensureReady();
    if (newPin.empty()) fail(kInvalidArgument);
    int r = withPin(token, oldPin, [&] {
        return gnutls_pkcs11_token_set_pin(token.url.c_str(), oldPin.c_str(), newPin.c_str(), GNUTLS_PIN_USER);
    });
    if (r == GNUTLS_E_PKCS11_PIN_ERROR || r == GNUTLS_E_PKCS11_PIN_LOCKED) fail(loginError(r));
    if (r < 0) fail(kInvalidArgument);  // the token refused the new PIN (length, characters)
}

int remainingPinTries(const Token& token) {
    unsigned flags = token.flags;
    gnutls_pkcs11_token_get_flags(token.url.c_str(), &flags);
    int left = kPinTryLimit - failures(token);
    if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_LOCKED) left = 0;
    else if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_FINAL_TRY) left = std::min(left, 1);
    return std::max(left, 0);
}

PrivateKey::PrivateKey(const Token& token, const TokenCertificate& cert, const SecretString& pin) : pin_(pin) {
    ensureReady();
    gnutls_privkey_t key;
    if (gnutls_privkey_init(&key) < 0) fail(kOutOfMemory);
    // held here until it is complete: a wrong PIN below throws
    std::unique_ptr<std::remove_pointer_t<gnutls_privkey_t>, void (*)(gnutls_privkey_t)> guard(key, gnutls_privkey_deinit);
    gnutls_privkey_set_pin_function(key, pinCallback, &pin_);
    std::string url = token.url + ";id=" + percentEncode(cert.id) + ";type=private";
    int r = withPin(token, pin_, [&] { return gnutls_privkey_import_url(key, url.c_str(), 0); });
    if (r < 0)
        fail(r == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE || r == GNUTLS_E_PKCS11_REQUESTED_OBJECT_NOT_AVAILBLE
                 ? kNoKey
                 : loginError(r));
    key_ = guard.release();
}

PrivateKey::~PrivateKey() {
    if (key_) gnutls_privkey_deinit(key_);
}

HResult keyError(int r) {
    if (r == GNUTLS_E_PKCS11_PIN_ERROR) return kWrongPin;
    if (r == GNUTLS_E_PKCS11_PIN_LOCKED) return kPinBlocked;
    if (r == GNUTLS_E_DECRYPTION_FAILED) return kBadData;
    if (r == GNUTLS_E_UNWANTED_ALGORITHM || r == GNUTLS_E_UNSUPPORTED_SIGNATURE_ALGORITHM) return kBadAlgorithm;
    return kFailed;
}

}  // namespace card
