#include "TokenFixture.h"

#include "CardComponent/Certificate.h"
#include "platform/ComBstr.h"
#include "platform/Encoding.h"

#include <cstdlib>

namespace fs = std::filesystem;

namespace card_test {

namespace {
TokenEnvironment* g_environment = nullptr;
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char ch : text) {
        if (ch == '\'')
            out += "'\\''";
        else
            out += ch;
    }
    return out + "'";
}

std::string base64Of(const std::string& bytes) {
    return card::base64Encode(bytes);
}

std::string pemToBase64Der(const std::string& pem) {
    auto begin = pem.find("-----\n");
    auto end = pem.find("-----END");
    std::string body = pem.substr(begin + 6, end - begin - 6);
    std::string out;
    for (char ch : body)
        if (ch != '\n' && ch != '\r') out += ch;
    return out;
}

TokenEnvironment& TokenEnvironment::get() {
    return *g_environment;
}

fs::path TokenEnvironment::demoDir() const {
    return sandbox_->dataHome() / "ZEFAGPKI" / "demo-token";
}

void TokenEnvironment::SetUp() {
    g_environment = this;
    sandbox_ = std::make_unique<testing_support::Sandbox>();
    const std::string script = std::string(TESSAROLL_SOURCE_DIR) + "/scripts/demo-token.sh";
    struct Wanted {
        const char* label;
        const char* key;
    };
    // One token per concern, so that a locked or re-PINned token does not disturb the rest.
    for (Wanted w : {Wanted{"RSA Demo", "rsa"}, Wanted{"EC Demo", "ec"}, Wanted{"Lock Demo", "rsa"},
                     Wanted{"PIN Demo", "ec"}}) {
        int status = 0;
        std::string out =
            shell("bash " + script + " --key " + w.key + " --label " + quoted(w.label) + " 2>&1",
                  &status);
        ASSERT_EQ(status, 0) << out;
        std::string slug = w.label;
        for (char& ch : slug)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '-';
        tokens_.push_back({w.label, (demoDir() / (slug + "-" + w.key + ".pem")).string(), {}});
    }
    setenv("SOFTHSM2_CONF", (demoDir() / "softhsm2.conf").c_str(), 1);
    std::string slots = shell("softhsm2-util --show-slots");
    for (auto& t : tokens_) {
        auto at = slots.find("Label:            " + t.label);
        ASSERT_NE(at, std::string::npos) << slots;
        auto s = slots.rfind("Serial number:", at);
        auto lineEnd = slots.find('\n', s);
        std::string serial = slots.substr(s + 14, lineEnd - s - 14);
        serial.erase(0, serial.find_first_not_of(' '));
        serial.erase(serial.find_last_not_of(' ') + 1);
        t.serial = serial;
    }
    CoInitialize(nullptr);  // the component is created on this thread
}

void TokenEnvironment::TearDown() {
    CoUninitialize();
    sandbox_.reset();
}

const DemoToken& TokenEnvironment::token(const std::string& label) const {
    for (const auto& t : tokens_)
        if (t.label == label) return t;
    throw std::runtime_error("no demo token " + label);
}

Bstr::Bstr(const std::string& utf8) {
    std::u16string wide = utf8ToUtf16(utf8);
    b_ = SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
}

std::string Bstr::utf8() const {
    return b_ ? utf16ToUtf8(std::u16string(b_, SysStringLen(b_))) : std::string();
}

void ComponentTest::SetUp() {
    IUnknown* unknown = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_CardCryptoComponent, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&unknown)),
              S_OK);
    ASSERT_EQ(OleRun(unknown), S_OK);
    ASSERT_EQ(unknown->QueryInterface(IID_ICardCryptoComponent, reinterpret_cast<void**>(&c)),
              S_OK);
    unknown->Release();
}

void ComponentTest::TearDown() {
    if (c) c->Release();
}

void ComponentTest::selectToken(const std::string& label) {
    selectTokenOf(c, label);
}

void selectTokenOf(ICardCryptoComponent* c, const std::string& label) {
    const std::string& serial = TokenEnvironment::get().token(label).serial;
    LONG count = 0, answer = 0;
    ASSERT_EQ(c->GPKI_GetSlotCount(&count), S_OK);
    for (LONG i = 0; i < count; ++i) {
        ASSERT_EQ(c->GPKI_SetReaderSlot(0, i, &answer), S_OK);
        Bstr s;
        ASSERT_EQ(c->GPKI_GetSerialNumber(s.out()), S_OK);
        if (s.utf8() == serial) return;
    }
    FAIL() << "token " << label << " not among " << count << " readers";
}

}  // namespace card_test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new card_test::TokenEnvironment);
    return RUN_ALL_TESTS();
}
