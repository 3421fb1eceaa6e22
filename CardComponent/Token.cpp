#include "CardComponent/Token.h"

#include "CardComponent/CardErrors.h"
#include "platform/Folders.h"

#include <gnutls/gnutls.h>
#include <gnutls/pkcs11.h>
#include <p11-kit/pkcs11.h>

#include <sys/stat.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>

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

// The module GnuTLS has loaded for the whole process (empty: every registered module).
std::string g_loaded;
bool g_ready = false;

void dropCaches();

void ensureReady(const std::string& module) {
    if (g_ready && g_loaded == module) return;
    if (g_ready) {
        dropCaches();  // keys and sessions of the old module must go before it does
        gnutls_pkcs11_deinit();
        g_ready = false;
    }
    int r = module.empty() ? gnutls_pkcs11_init(GNUTLS_PKCS11_FLAG_AUTO, nullptr)
                           : gnutls_pkcs11_init(GNUTLS_PKCS11_FLAG_MANUAL, nullptr);
    if (r < 0) fail(kModuleNotFound);
    if (!module.empty() && gnutls_pkcs11_add_provider(module.c_str(), nullptr) < 0) {
        gnutls_pkcs11_deinit();
        fail(kModuleNotFound);
    }
    gnutls_pkcs11_set_pin_function(pinCallback, nullptr);
    g_loaded = module;
    g_ready = true;
}

void ensureReady() {
    if (!g_ready) ensureReady(g_loaded);
}

bool isProxyModule(const fs::path& path) {
    return path.filename() == "p11-kit-proxy.so";
}

fs::path resolved(const fs::path& path) {
    std::error_code ec;
    fs::path real = fs::canonical(path, ec);
    return ec ? fs::path() : real;
}

// The system's PKCS#11 module folders: /usr/lib/<triplet>/pkcs11, the usual others, and
// p11-kit's own module folder.
std::vector<fs::path> moduleFolders() {
    std::vector<fs::path> folders = {TESSAROLL_P11_MODULE_DIR, "/usr/lib/pkcs11",
                                     "/usr/lib64/pkcs11", "/usr/local/lib/pkcs11"};
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib", ec))
        if (entry.is_directory(ec) && fs::is_directory(entry.path() / "pkcs11", ec))
            folders.push_back(entry.path() / "pkcs11");
    return folders;
}

// The modules p11-kit's system configuration registers ("module:" lines of its *.module files;
// a bare name lies in p11-kit's module folder).
std::vector<fs::path> registeredModules() {
    std::vector<fs::path> modules;
    std::error_code ec;
    for (const char* config : {TESSAROLL_P11_PACKAGE_CONFIG_DIR, TESSAROLL_P11_SYSTEM_CONFIG_DIR})
        for (const auto& entry : fs::directory_iterator(config, ec)) {
            if (entry.path().extension() != ".module") continue;
            std::ifstream in(entry.path());
            std::string line;
            while (std::getline(in, line)) {
                if (line.rfind("module:", 0) != 0) continue;
                std::string value = line.substr(7);
                value.erase(0, value.find_first_not_of(" \t"));
                value.erase(value.find_last_not_of(" \t\r") + 1);
                if (value.empty()) continue;
                fs::path module = value;
                modules.push_back(
                    module.is_absolute() ? module : fs::path(TESSAROLL_P11_MODULE_DIR) / module);
            }
        }
    return modules;
}

// A module folder holds modules, and links to modules installed elsewhere (the smart-card
// module lives in the general library folder): what those links lead to is a module too.
bool isSystemModule(const fs::path& real) {
    for (const fs::path& folder : moduleFolders()) {
        fs::path realFolder = resolved(folder);
        if (realFolder.empty()) continue;
        if (real.parent_path() == realFolder) return true;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec))
            if (resolved(entry.path()) == real) return true;
    }
    for (const fs::path& module : registeredModules())
        if (resolved(module) == real) return true;
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
fs::path tryFile() {
    return fs::path(commonAppDataFolder()) / "ZEFAGPKI" / "CardComponent" / "pin-tries";
}

std::string tokenKey(const Token& token) {
    return token.serial + "/" + token.label;
}

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

std::string allowedPkcs11Module(const std::string& path) {
    if (path.empty()) return {};
    fs::path real = resolved(path);
    std::error_code ec;
    if (real.empty() || !fs::is_regular_file(real, ec)) fail(kModuleNotFound);
    if (isProxyModule(real)) return {};
    if (!isSystemModule(real)) fail(kAccessDenied);
    return real.string();
}

void loadPkcs11Module(const std::string& module) {
    ensureReady(module);
}

namespace {

// A private key opened by its certificate's CKA_ID, logged in with the PIN.
class PrivateKey {
public:
    PrivateKey(const Token& token, const TokenCertificate& cert, const SecretString& pin);
    ~PrivateKey();
    PrivateKey(const PrivateKey&) = delete;
    PrivateKey& operator=(const PrivateKey&) = delete;
    gnutls_privkey_t get() const { return key_; }

private:
    gnutls_privkey_t key_ = nullptr;
    SecretString pin_;
};

PrivateKey::PrivateKey(const Token& token, const TokenCertificate& cert, const SecretString& pin)
    : pin_(pin) {
    gnutls_privkey_t key;
    if (gnutls_privkey_init(&key) < 0) fail(kOutOfMemory);
    // held here until it is complete: a wrong PIN below throws
    std::unique_ptr<std::remove_pointer_t<gnutls_privkey_t>, void (*)(gnutls_privkey_t)> guard(
        key, gnutls_privkey_deinit);
    gnutls_privkey_set_pin_function(key, pinCallback, &pin_);
    std::string url = token.url + ";id=" + percentEncode(cert.id) + ";type=private";
    int r = withPin(token, pin_, [&] { return gnutls_privkey_import_url(key, url.c_str(), 0); });
    if (r < 0)
        fail(r == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE ||
                     r == GNUTLS_E_PKCS11_REQUESTED_OBJECT_NOT_AVAILBLE
                 ? kNoKey
                 : loginError(r));
    key_ = guard.release();
}

PrivateKey::~PrivateKey() {
    if (key_) gnutls_privkey_deinit(key_);
}

// Where an enumerated token sits, and what its slot reported then: enough to tell, with one
// C_GetTokenInfo per token and one C_GetSlotList per module, that nothing was inserted,
// removed or replaced since (a full enumeration costs a walk over every slot per token).
struct SlotState {
    CK_FUNCTION_LIST* module = nullptr;
    CK_SLOT_ID slot = 0;
    std::string identity;  // label, maker, model and serial as the slot reported them
};

struct TokenList {
    std::vector<std::string> urls;  // every slot's token, as enumerated
    std::vector<SlotState> slots;   // beside urls
    std::map<CK_FUNCTION_LIST*, CK_ULONG> slotsPerModule;
    std::vector<Token> tokens;  // the ones offered as readers
    bool valid = false;
};

// One token's login, shared by the sessions that opened keys with the same PIN.
struct Login {
    SecretString pin;
    std::map<std::string, std::unique_ptr<PrivateKey>> keys;  // by CKA_ID
    std::set<const void*> owners;
};

// What is kept lives until the process ends and is never destroyed: at exit GnuTLS may be
// gone before these would be, and their keys and certificates call into it.
struct Kept {
    TokenList tokens;
    std::map<std::string, TokenCertificates> certificates;  // by token URL
    std::map<std::string, Login> logins;                    // by token URL
};
Kept& kept() {
    static Kept* state = new Kept;
    return *state;
}

bool samePin(const SecretString& a, const SecretString& b) {
    if (a.size() != b.size()) return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a.view()[i] ^ b.view()[i]);
    return differ == 0;
}

void logOut(const std::string& url) {
    auto it = kept().logins.find(url);
    if (it == kept().logins.end()) return;
    secureWipe(it->second.pin);
    kept().logins.erase(it);  // closing the token's last session logs it out
}

// A token is logged in while its keys are open, and a logged-in token takes any PIN: a PIN
// other than the one it was opened with logs it out first, so that the token judges it.
bool loggedInWith(const Token& token, const SecretString& pin) {
    auto it = kept().logins.find(token.url);
    if (it == kept().logins.end()) return false;
    if (samePin(it->second.pin, pin)) return true;
    logOut(token.url);
    return false;
}

void dropCaches() {
    while (!kept().logins.empty()) logOut(kept().logins.begin()->first);
    kept().certificates.clear();
    kept().tokens = TokenList{};
}

std::string identityOf(const CK_TOKEN_INFO& info) {
    return std::string(reinterpret_cast<const char*>(info.label), sizeof info.label) +
           std::string(reinterpret_cast<const char*>(info.manufacturerID),
                       sizeof info.manufacturerID) +
           std::string(reinterpret_cast<const char*>(info.model), sizeof info.model) +
           std::string(reinterpret_cast<const char*>(info.serialNumber), sizeof info.serialNumber);
}

std::optional<SlotState> slotStateOf(const std::string& url) {
    void* module = nullptr;
    unsigned long slot = 0;
    if (gnutls_pkcs11_token_get_ptr(url.c_str(), &module, &slot, 0) < 0 || !module)
        return std::nullopt;
    SlotState state{static_cast<CK_FUNCTION_LIST*>(module), slot, {}};
    CK_TOKEN_INFO info{};
    if (state.module->C_GetTokenInfo(state.slot, &info) != CKR_OK) return std::nullopt;
    state.identity = identityOf(info);
    return state;
}

std::optional<CK_ULONG> slotsWithToken(CK_FUNCTION_LIST* module) {
    CK_ULONG present = 0;
    if (module->C_GetSlotList(CK_TRUE, nullptr, &present) != CKR_OK) return std::nullopt;
    return present;
}

// Every known module still has as many slots with a token, and each slot the same token.
bool slotsUnchanged(const TokenList& list) {
    for (const SlotState& state : list.slots) {
        CK_TOKEN_INFO info{};
        if (state.module->C_GetTokenInfo(state.slot, &info) != CKR_OK ||
            identityOf(info) != state.identity)
            return false;
    }
    for (const auto& [module, count] : list.slotsPerModule) {
        if (slotsWithToken(module) != count) return false;
    }
    return true;
}

std::vector<std::string> tokenUrls() {
    std::vector<std::string> urls;
    for (unsigned i = 0;; ++i) {
        char* url = nullptr;
        if (gnutls_pkcs11_token_get_url(i, GNUTLS_PKCS11_URL_GENERIC, &url) < 0) break;
        urls.emplace_back(url);
        gnutls_free(url);
    }
    return urls;
}

// The GnuTLS result of the listing.
int readCertificates(const Token& token, unsigned flags, std::vector<TokenCertificate>& out) {
    ObjectList list;
    int r = gnutls_pkcs11_obj_list_import_url4(&list.objs, &list.count, token.url.c_str(),
                                               GNUTLS_PKCS11_OBJ_FLAG_CRT | flags);
    if (r < 0) return r;
    for (unsigned i = 0; i < list.count; ++i) {
        gnutls_datum_t der{nullptr, 0};
        if (gnutls_pkcs11_obj_export2(list.objs[i], &der) < 0) continue;
        std::string bytes(reinterpret_cast<char*>(der.data), der.size);
        gnutls_free(der.data);
        unsigned char id[128];
        size_t idSize = sizeof id;
        if (gnutls_pkcs11_obj_get_info(list.objs[i], GNUTLS_PKCS11_OBJ_ID, id, &idSize) < 0)
            idSize = 0;
        try {
            out.push_back({Certificate::fromDer(bytes),
                           std::string(reinterpret_cast<char*>(id), idSize), base64Encode(bytes)});
        } catch (const CardError&) {
            // an object that is not a readable X.509 certificate is not offered
        }
    }
    return 0;
}

}  // namespace

std::vector<Token> presentTokens(bool rescan) {
    ensureReady();
    if (kept().tokens.valid && !rescan && slotsUnchanged(kept().tokens))
        return kept().tokens.tokens;
    std::vector<std::string> urls = tokenUrls();
    // A slot changed: what was read or opened on tokens that are gone goes with them.
    for (const std::string& old : kept().tokens.urls)
        if (std::find(urls.begin(), urls.end(), old) == urls.end()) {
            logOut(old);
            kept().certificates.erase(old);
        }
    TokenList fresh;
    fresh.urls = urls;
    fresh.valid = true;
    for (const std::string& url : urls) {
        std::optional<SlotState> state = slotStateOf(url);
        std::optional<CK_ULONG> present = state ? slotsWithToken(state->module) : std::nullopt;
        if (present) {
            fresh.slotsPerModule[state->module] = *present;
            fresh.slots.push_back(std::move(*state));
        } else {
            fresh.valid = false;  // cannot be checked cheaply: enumerate again next time
        }
        Token t;
        t.url = url;
        if (gnutls_pkcs11_token_get_flags(t.url.c_str(), &t.flags) < 0) continue;
        if (t.flags & GNUTLS_PKCS11_TOKEN_TRUSTED) continue;  // the system trust store, not a card
        if (!(t.flags & GNUTLS_PKCS11_TOKEN_INITIALIZED)) continue;
        t.label = tokenInfo(t.url, GNUTLS_PKCS11_TOKEN_LABEL);
        t.serial = tokenInfo(t.url, GNUTLS_PKCS11_TOKEN_SERIAL);
        fresh.tokens.push_back(std::move(t));
    }
    kept().tokens = std::move(fresh);
    return kept().tokens.tokens;
}

void forgetTokens() {
    for (const std::string& url : kept().tokens.urls) logOut(url);
    kept().certificates.clear();
    kept().tokens = TokenList{};
}

TokenCertificates tokenCertificates(const Token& token) {
    ensureReady();
    TokenCertificates& cached = kept().certificates[token.url];
    if (!cached) {
        std::vector<TokenCertificate> certs;
        int r = readCertificates(token, 0, certs);
        if (r < 0) fail(loginError(r));
        cached = std::make_shared<const std::vector<TokenCertificate>>(std::move(certs));
    }
    return cached;
}

TokenCertificates tokenCertificates(const Token& token, const SecretString& pin) {
    TokenCertificates visible = tokenCertificates(token);
    std::vector<TokenCertificate> hidden;
    int r = loggedInWith(token, pin)
                ? readCertificates(token, GNUTLS_PKCS11_OBJ_FLAG_LOGIN, hidden)
                : withPin(token, pin, [&] {
                      return readCertificates(token, GNUTLS_PKCS11_OBJ_FLAG_LOGIN, hidden);
                  });
    if (r < 0) fail(loginError(r));
    // The public ones keep their places; the ones the PIN reveals follow them.
    auto all = std::make_shared<std::vector<TokenCertificate>>();
    for (const auto& c : *visible)
        all->push_back({Certificate::fromDer(c.certificate.der()), c.id, c.base64});
    for (auto& c : hidden) {
        bool known = std::any_of(visible->begin(), visible->end(),
                                 [&](const auto& v) { return v.base64 == c.base64; });
        if (!known) all->push_back(std::move(c));
    }
    return all;
}

void verifyPin(const Token& token, const SecretString& pin) {
    ensureReady();
    if (remainingPinTries(token) <= 0) fail(kPinBlocked);
    if (loggedInWith(token, pin)) return;
    ObjectList list;
    int r = withPin(token, pin, [&] {
        return gnutls_pkcs11_obj_list_import_url4(
            &list.objs, &list.count, token.url.c_str(),
            GNUTLS_PKCS11_OBJ_FLAG_PRIVKEY | GNUTLS_PKCS11_OBJ_FLAG_LOGIN);
    });
    if (r < 0) fail(loginError(r));
}

void changePin(const Token& token, const SecretString& oldPin, const SecretString& newPin) {
    ensureReady();
    if (newPin.empty()) fail(kInvalidArgument);
    logOut(token.url);  // the old PIN must not open anything once it has been changed
    int r = withPin(token, oldPin, [&] {
        return gnutls_pkcs11_token_set_pin(token.url.c_str(), oldPin.c_str(), newPin.c_str(),
                                           GNUTLS_PIN_USER);
    });
    if (r == GNUTLS_E_PKCS11_PIN_ERROR || r == GNUTLS_E_PKCS11_PIN_LOCKED) fail(loginError(r));
    if (r < 0) fail(kInvalidArgument);  // the token refused the new PIN (length, characters)
}

gnutls_privkey_t loggedInKey(const void* owner, const Token& token, const TokenCertificate& cert,
                             const SecretString& pin) {
    ensureReady();
    if (remainingPinTries(token) <= 0) fail(kPinBlocked);
    if (pin.empty()) fail(kNotAuthenticated);
    loggedInWith(token, pin);
    Login& login = kept().logins[token.url];
    if (login.pin.empty()) login.pin = pin;
    auto& key = login.keys[cert.id];
    if (!key) {
        try {
            key = std::make_unique<PrivateKey>(token, cert, login.pin);
        } catch (const CardError&) {
            logOut(token.url);
            throw;
        }
    }
    login.owners.insert(owner);
    return key->get();
}

void releaseLogins(const void* owner) {
    for (auto it = kept().logins.begin(); it != kept().logins.end();) {
        it->second.owners.erase(owner);
        auto next = std::next(it);
        if (it->second.owners.empty()) logOut(it->first);
        it = next;
    }
}

int remainingPinTries(const Token& token) {
    unsigned flags = token.flags;
    gnutls_pkcs11_token_get_flags(token.url.c_str(), &flags);
    int left = kPinTryLimit - failures(token);
    if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_LOCKED)
        left = 0;
    else if (flags & GNUTLS_PKCS11_TOKEN_USER_PIN_FINAL_TRY)
        left = std::min(left, 1);
    return std::max(left, 0);
}

HResult keyError(int r) {
    if (r == GNUTLS_E_PKCS11_PIN_ERROR) return kWrongPin;
    if (r == GNUTLS_E_PKCS11_PIN_LOCKED) return kPinBlocked;
    if (r == GNUTLS_E_DECRYPTION_FAILED) return kBadData;
    if (r == GNUTLS_E_UNWANTED_ALGORITHM || r == GNUTLS_E_UNSUPPORTED_SIGNATURE_ALGORITHM)
        return kBadAlgorithm;
    return kFailed;
}

}  // namespace card
