// One sandbox for the whole test program with SoftHSM2 demo tokens in it (PKCS#11 modules
// read their configuration once per process), the component created through the COM
// layer, and small helpers for the outside tools the tests check against.
#pragma once

#include "helpers/ChildProcess.h"
#include "helpers/Sandbox.h"
#include "platform/CardComponentInterface.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace card_test {

inline constexpr const char* kPin = "123456";

struct DemoToken {
    std::string label;
    std::string certFile;  // PEM of the token's certificate
    std::string serial;    // the token's serial number
};

class TokenEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    static TokenEnvironment& get();

    testing_support::Sandbox& sandbox() { return *sandbox_; }
    std::filesystem::path demoDir() const;
    std::filesystem::path caFile() const { return demoDir() / "demo-ca.pem"; }
    const DemoToken& token(const std::string& label) const;

private:
    std::unique_ptr<testing_support::Sandbox> sandbox_;
    std::vector<DemoToken> tokens_;
};

using testing_support::shell;
std::string quoted(const std::string& text);
std::string base64Of(const std::string& bytes);
std::string pemToBase64Der(const std::string& pem);

// BSTR in, BSTR out, for short calls.
class Bstr {
public:
    explicit Bstr(const std::string& utf8 = {});
    explicit Bstr(std::nullptr_t) {}
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return b_; }
    BSTR* out() {
        SysFreeString(b_);
        b_ = nullptr;
        return &b_;
    }
    std::string utf8() const;

private:
    BSTR b_ = nullptr;
};

// Points a component object at the token with the given label.
void selectTokenOf(ICardCryptoComponent* component, const std::string& label);

// A fresh component object per test, pointed at the token with the given label.
class ComponentTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void selectToken(const std::string& label);
    ICardCryptoComponent* c = nullptr;
};

}  // namespace card_test
