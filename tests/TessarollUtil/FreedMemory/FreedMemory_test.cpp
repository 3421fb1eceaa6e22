// Looks into every heap block as it is freed and counts the blocks that still hold a PIN,
// in UTF-8, UTF-16 or Base64: secrets must be wiped before their memory goes back. The test's own
// texts stay out of the heap (arrays and views), so only the code under test can leave one.
#include <gtest/gtest.h>

#include <malloc.h>
#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

#include "AdapterProject/AdapterCommon.h"
#include "TessarollSession/ValueStore.h"
#include "TessarollUtil/JsonMap.h"
#include "TessarollUtil/Secure.h"
#include "TessarollUtil/Text.h"

#if defined(__SANITIZE_ADDRESS__)
#define FREED_MEMORY_OBSERVED 0  // the sanitizer owns free()
#else
#define FREED_MEMORY_OBSERVED 1
#endif

namespace {

constexpr char kPin[] = "739184";
constexpr char16_t kWidePin[] = u"739184";
constexpr char kEncodedPin[] = "NzM5MTg0";  // its Base64, as a page may send it
std::atomic<bool> watching{false};
std::atomic<int> blocksWithPin{0};

// Unused where the sanitizer owns free().
[[maybe_unused]] bool holdsPin(const void* block, std::size_t size) {
    return memmem(block, size, kPin, sizeof kPin - 1) ||
           memmem(block, size, kWidePin, sizeof kWidePin - sizeof(char16_t)) ||
           memmem(block, size, kEncodedPin, sizeof kEncodedPin - 1);
}

}  // namespace

#if FREED_MEMORY_OBSERVED
extern "C" void __libc_free(void*);
// Every free of the process comes here, operator delete and the BSTR allocator included.
extern "C" void free(void* block) {
    if (block && watching.load(std::memory_order_relaxed) &&
        holdsPin(block, malloc_usable_size(block)))
        blocksWithPin.fetch_add(1);
    __libc_free(block);
}
#endif

namespace {

// Counts the freed blocks that held the PIN while `work` ran.
template <typename F>
int pinBlocksFreedBy(F work) {
    blocksWithPin = 0;
    watching = true;
    work();
    watching = false;
    return blocksWithPin.load();
}

class FreedMemory : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FREED_MEMORY_OBSERVED)
            GTEST_SKIP() << "free() cannot be observed under the address sanitizer";
    }
};

// The observer itself: a plain string that grows leaves the PIN in the block it gives up.
TEST_F(FreedMemory, APlainStringThatGrowsLeavesThePinBehind) {
    EXPECT_GT(pinBlocksFreedBy([] {
                  std::string text{std::string_view(kPin)};
                  text.append(100, 'x');
                  text.append(1000, 'y');
                  secureWipe(text);
              }),
              0);
}

TEST_F(FreedMemory, ASecretStringLeavesNoPinInFreedMemory) {
    const std::string_view pin(kPin);
    struct Case {
        const char* name;
        void (*work)(std::string_view pin);
    } cases[] = {
        {"grows by many appends",
         [](std::string_view pin) {
             SecretString secret(pin);
             for (int i = 0; i < 200; ++i) secret.append(pin);
         }},
        {"short text moved away, both dropped",
         [](std::string_view pin) {
             SecretString from(pin);
             SecretString to(std::move(from));
             from.append("reused");
         }},
        {"move-assigned over another secret",
         [](std::string_view pin) {
             SecretString kept(pin);
             SecretString other(pin);
             kept = std::move(other);
         }},
        {"copied, assigned, cleared",
         [](std::string_view pin) {
             SecretString first(pin);
             SecretString copy(first);
             copy.assign("other");
             first.clear();
         }},
        {"made from a plain string",
         [](std::string_view pin) {
             std::string plain(pin);
             plain.append(40, '-');
             SecretString secret(std::move(plain));
         }},
        {"resized and reserved",
         [](std::string_view pin) {
             SecretString secret(pin);
             secret.resize(3);
             secret.append(pin);
             secret.reserve(4096);
         }},
        {"made from UTF-16",
         [](std::string_view) { SecretString secret = secretFromUtf16(kWidePin); }},
    };
    for (const Case& c : cases) EXPECT_EQ(pinBlocksFreedBy([&] { c.work(pin); }), 0) << c.name;
}

// A PIN as the service hands it on: a JSON value, unescaped into the map, read by the
// adapter into the BSTR the component gets, which the adapter wipes after the call.
TEST_F(FreedMemory, APinFromTheRequestToTheComponentsParameterLeavesNoCopy) {
    static constexpr char kRequests[][200] = {
        R"({"FunctionName": "GPKI_VerifyPIN", "bstrPIN": "739184", "iFlags": "0"})",
        R"({"FunctionName": "GPKI_VerifyPIN", "bstrPIN": "\"739184\\n\t", "iFlags": "0"})",
        R"({"FunctionName": "GPKI_Share", "bstrPIN": "a passphrase\t\"739184\"\r\n with escapes", "iFlags": "0"})",
        R"({"FunctionName": "GPKI_VerifyPIN", "bstrPIN": "NzM5MTg0", "bstrPIN_TessarollBase64Flag": "true"})",
        // long enough that a text built piece by piece moves to larger blocks
        R"({"FunctionName": "GPKI_Share", "bstrPIN": "739184*a*passphrase*with*stars*for*backslashes*", "bstrPIN_TessarollFlag": "true"})",
        R"({"FunctionName": "GPKI_Share", "bstrPIN": "739184==TessarollSlash==a passphrase==TessarollSlash==with slashes", "bstrPIN_TessarollSlashFlag": "true"})",
    };
    for (const char* request : kRequests) {
        EXPECT_EQ(pinBlocksFreedBy([&] {
                      JsonMapPtr map = parseJsonMap(std::string_view(request));
                      ASSERT_TRUE(map);
                      _bstr_t pin = getJsonMapBstr(map.get(), "bstrPIN");
                      ASSERT_FALSE(pin.isNull());
                      EXPECT_NE(std::u16string_view(pin.GetBSTR(), pin.length()).find(kWidePin),
                                std::u16string_view::npos);
                      secureWipe(pin.GetBSTR(), pin.length() * sizeof(char16_t));
                  }),
                  0)
            << request;
    }
}

// The form field itself: the URL-safe Base64 of the whole request.
TEST_F(FreedMemory, TheFormFieldIsDecodedWithoutLeavingCopies) {
    // base64 of {"bstrPIN":"739184"} with its "=" and "+" sent as %3D and %2B
    static constexpr char kField[] = "eyJic3RyUElOIjoiNzM5MTg0In0%3D";
    EXPECT_EQ(pinBlocksFreedBy([] {
                  SecretString decoded(urlBase64Decode(kField));
                  EXPECT_EQ(decoded.view(), R"({"bstrPIN":"739184"})");
              }),
              0);
}

// A value parked in the store and read back: encrypted on the way in, decrypted into wiping
// storage on the way out, so the page's text (which may be a PIN) is in no block given back.
TEST_F(FreedMemory, AValueStoredAndReadBackLeavesNoCopy) {
    // Longer than a plain string holds inline: its copies would be heap blocks.
    static constexpr char kValue[] = "739184, and enough more text to need a block of its own";
    ValueStore store([] { return int64_t{1'700'000'000}; });
    const std::optional<std::string> channel{"c"}, domains{"app.example.org"};
    const std::string origin = "https://app.example.org";
    EXPECT_EQ(pinBlocksFreedBy([&] {
                  std::optional<std::string> value{std::string(kValue)};
                  ASSERT_EQ(store.set(channel, domains, 5, value, origin), 0);
                  secureWipe(*value);
                  for (int read = 0; read < 2; ++read) {
                      const std::optional<SecretString> got = store.get(channel, origin);
                      ASSERT_TRUE(got);
                      EXPECT_EQ(got->view(), kValue);
                  }
              }),
              0);
}

}  // namespace
