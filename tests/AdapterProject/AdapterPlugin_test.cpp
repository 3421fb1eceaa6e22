// The staged adapter plug-in, loaded as the service loads it, driving the test component.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "ComponentTable.h"
#include "doubles/AdapterHarness/AdapterHarness.h"

using namespace adapter_testing;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class AdapterPlugin : public ::testing::Test {
protected:
    ComponentSandbox box;
    TestComponentControl& component = box.component();
    std::unique_ptr<AdapterCopy> adapter =
        std::make_unique<AdapterCopy>(box.sandbox().root() / "copy1");

    // The log written since the last call of this function.
    std::string newLog() {
        std::string all = box.log();
        std::string fresh = all.substr(std::min(logSeen_, all.size()));
        logSeen_ = all.size();
        return fresh;
    }
    std::string call(const std::vector<std::pair<std::string, std::string>>& pairs,
                     const std::string& name) {
        return adapter->call(requestJson(pairs), name);
    }
    void setReply(const std::string& method, TestComponentReply reply) {
        std::lock_guard guard(component.lock);
        component.replies[method] = std::move(reply);
    }
    // Initialises the copy, so that its logging is on from the next call.
    void warmUp() {
        ASSERT_EQ(call({{"TessarollFunctionIndex", "-1"}}, "Tessaroll_GetVersion"), "1,0,21,827");
        component.takeCalls();
        newLog();
    }

private:
    std::size_t logSeen_ = 0;
};

TestComponentReply replyText(std::u16string text, HRESULT result = S_OK,
                             bool writeOnFailure = false) {
    TestComponentReply reply;
    reply.text = std::move(text);
    reply.result = result;
    reply.writeAnswerOnFailure = writeOnFailure;
    return reply;
}
TestComponentReply replyNumber(int32_t number, HRESULT result = S_OK) {
    TestComponentReply reply;
    reply.number = number;
    reply.result = result;
    return reply;
}
TestComponentReply replyResult(HRESULT result) {
    TestComponentReply reply;
    reply.result = result;
    return reply;
}
TestComponentReply replyNull() {
    TestComponentReply reply;
    reply.nullText = true;
    return reply;
}

std::string textOf(const TestComponentArgument& argument) {
    std::string text;
    for (char16_t c : argument.text) text.push_back(char(c));
    return text;
}

// ---------------------------------------------------------------------------------------

TEST_F(AdapterPlugin, EveryComponentFunctionReachesItsSlotWithItsArgumentsInOrder) {
    for (const FunctionRow& row : componentFunctionRows()) {
        SCOPED_TRACE(row.name);
        std::vector<std::pair<std::string, std::string>> request = {
            {"TessarollFunctionIndex", std::to_string(row.index)}, {"AdapterJsonKeyCheck", "true"}};
        for (std::size_t i = 0; i < row.parameters.size(); ++i) {
            const auto& [key, kind] = row.parameters[i];
            request.emplace_back(key,
                                 kind == Text ? key + "-value" : std::to_string(int(i) * 7 + 3));
        }
        std::string answer = call(request, row.name);

        auto calls = component.takeCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].slot, row.slot);
        EXPECT_EQ(calls[0].method, row.name);
        ASSERT_EQ(calls[0].arguments.size(), row.parameters.size());
        std::string described;
        for (std::size_t i = 0; i < row.parameters.size(); ++i) {
            const auto& [key, kind] = row.parameters[i];
            const TestComponentArgument& argument = calls[0].arguments[i];
            ASSERT_EQ(argument.isText, kind == Text) << key;
            if (kind == Text) {
                EXPECT_FALSE(argument.isNull) << key;
                EXPECT_EQ(textOf(argument), key + "-value");
            } else {
                EXPECT_EQ(argument.number, int(i) * 7 + 3) << key;
            }
            described += (i ? "," : "") +
                         (kind == Text ? "\"" + key + "-value\"" : std::to_string(int(i) * 7 + 3));
        }
        switch (row.answer) {
            case Answer::Text: EXPECT_EQ(answer, row.name + ":" + described); break;
            case Answer::Number: EXPECT_EQ(answer, std::to_string(row.slot * 100)); break;
            case Answer::Variant: EXPECT_EQ(answer, "cert-a;cert-b;"); break;
            case Answer::Nothing: EXPECT_EQ(answer, "0"); break;
        }
    }
}

TEST_F(AdapterPlugin, KeysAreFoundWithoutRegardToCaseAndTextsCrossAsUtf16) {
    setReply("CAPICertGetSubject", replyText(u"CN=Zoë Ünal,O=測試"));
    EXPECT_EQ(call({{"STRCERT", "證書 ünïcode"}, {"iflags", "9"}}, "CAPICertGetSubject"),
              "CN=Zoë Ünal,O=測試");
    auto calls = component.takeCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].arguments[0].text, u"證書 ünïcode");
    EXPECT_EQ(calls[0].arguments[1].number, 9);
}

struct DispatchCase {
    const char* label;
    std::vector<std::pair<std::string, std::string>> request;
    std::string name;
    std::string answer;  // "" = the component's default answer for `slot`
    int slot;            // 0: the component is not called
    std::vector<std::string> logged;
};

TEST_F(AdapterPlugin, DispatchByIndexFallsBackToTheNameSearch) {
    warmUp();
    const std::vector<DispatchCase> cases = {
        {"index and name agree, name in lower case",
         {{"TessarollFunctionIndex", "5"}},
         "gpki_gettailofcitizenid",
         "",
         12,
         {}},
        {"index names another function",
         {{"TessarollFunctionIndex", "5"}},
         "GPKI_SignData",
         "",
         56,
         {"TessarollFunctionIndex is not match with adapter",
          "FunctionName from web: GPKI_SignData",
          "FunctionName in adapter: GPKI_GetTailOfCitizenID", "FunctionIndex mode: Fail",
          "Function search name mode: GPKI_SignData"}},
        {"index past the table",
         {{"TessarollFunctionIndex", "61"}},
         "CAPICertGetSubject",
         "",
         11,
         {"FunctionIndex: Out of range"}},
        {"index below the system functions",
         {{"TessarollFunctionIndex", "-4"}},
         "CAPICertGetSubject",
         "",
         11,
         {"FunctionIndex: Out of range"}},
        {"no index is index 0", {}, "get_lastError", "700", 7, {"FunctionIndex: 0"}},
        {"no index, another name",
         {},
         "GPKI_GetSlotCount",
         "5200",
         52,
         {"FunctionIndex mode: Fail"}},
        {"index true is 1",
         {{"TessarollFunctionIndex", "TrUe"}},
         "GPKI_EnumCerts",
         "cert-a;cert-b;",
         8,
         {}},
        {"index false is 0", {{"TessarollFunctionIndex", "FALSE"}}, "get_lastError", "700", 7, {}},
        {"name search reaches a system function",
         {{"TessarollFunctionIndex", "70"}},
         "TESSAROLL_GETVERSION",
         "1,0,21,827",
         0,
         {"FunctionIndex: Out of range"}},
        {"unlock by name", {{"TessarollFunctionIndex", "3"}}, "tessaroll_unlock", "0", 0, {}},
        {"negative index wins over the name",
         {{"TessarollFunctionIndex", "-1"}},
         "GPKI_SignData",
         "1,0,21,827",
         0,
         {}},
        {"unknown name",
         {{"TessarollFunctionIndex", "3"}},
         "GPKI_NoSuchFunction",
         "61005",
         0,
         {"Function name does not match: GPKI_NoSuchFunction"}},
        {"unknown name sorting before every entry",
         {},
         "AAA",
         "61005",
         0,
         {"Function name does not match: AAA"}},
        {"unknown name sorting after every entry",
         {},
         "zzz",
         "61005",
         0,
         {"Function name does not match: zzz"}},
    };
    for (const DispatchCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::string answer = call(c.request, c.name);
        auto calls = component.takeCalls();
        std::string log = newLog();
        if (c.slot == 0) {
            EXPECT_TRUE(calls.empty());
        } else {
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].slot, c.slot);
        }
        if (!c.answer.empty()) {
            EXPECT_EQ(answer, c.answer);
        } else if (!calls.empty()) {
            EXPECT_EQ(answer.substr(0, calls[0].method.size() + 1), calls[0].method + ":");
        }
        for (const std::string& line : c.logged) EXPECT_THAT(log, HasSubstr(line));
        if (c.slot != 0 && c.logged.empty()) {
            EXPECT_THAT(log, Not(HasSubstr("FunctionIndex mode")));
        }
    }
}

struct KeyCheckCase {
    const char* label;
    std::string name;
    std::vector<std::pair<std::string, std::string>> request;
    std::string answer;
    std::vector<TestComponentArgument>
        arguments;  // isText, isNull, text, number; none = not called
    bool called;
    int missingWarnings;
};

TestComponentArgument nullText() {
    return {true, true, {}, nullptr, 0};
}
TestComponentArgument text(std::u16string value) {
    return {true, false, std::move(value), nullptr, 0};
}
TestComponentArgument number(int32_t value) {
    return {false, false, {}, nullptr, value};
}

TEST_F(AdapterPlugin, MissingKeysAnswer61016OnlyWhenTheRequestAsksForTheCheck) {
    warmUp();
    setReply("get_lastError", replyNumber(-5));
    const std::vector<KeyCheckCase> cases = {
        {"check on: no component call",
         "GPKI_VerifyPIN",
         {{"iFlags", "4"}, {"AdapterJsonKeyCheck", "true"}},
         "61016",
         {},
         false,
         1},
        {"check on in capitals",
         "GPKI_VerifyPIN",
         {{"iFlags", "4"}, {"AdapterJsonKeyCheck", "TRUE"}},
         "61016",
         {},
         false,
         1},
        {"check off: null BSTR passed",
         "GPKI_VerifyPIN",
         {{"iFlags", "4"}, {"AdapterJsonKeyCheck", "false"}},
         "5300",
         {nullText(), number(4)},
         true,
         1},
        {"check absent: null BSTR passed",
         "GPKI_VerifyPIN",
         {{"iFlags", "4"}},
         "5300",
         {nullText(), number(4)},
         true,
         1},
        {"every missing key is reported",
         "GPKI_ChangePIN",
         {{"AdapterJsonKeyCheck", "true"}},
         "61016",
         {},
         false,
         3},
        {"an empty value is present, not missing",
         "GPKI_VerifyPIN",
         {{"bPIN", ""}, {"iFlags", "1"}, {"AdapterJsonKeyCheck", "true"}},
         "5300",
         {text(u""), number(1)},
         true,
         0},
        {"GetVersion reads flag without the check",
         "GetVersion",
         {{"AdapterJsonKeyCheck", "true"}},
         "",
         {number(0)},
         true,
         0},
        {"get_lastError has nothing to check",
         "get_lastError",
         {{"AdapterJsonKeyCheck", "true"}},
         "-5",
         {},
         true,
         0},
        {"integers: true, false, digits then letters, sign",
         "DetectReplug",
         {{"iFlags", "tRUE"}, {"iReplugTime", " -7x"}},
         "6600",
         {number(1), number(-7)},
         true,
         0},
        {"integers: letters only",
         "GPKI_SetReaderSlot",
         {{"iFlags", "False"}, {"slot", "abc"}},
         "2600",
         {number(0), number(0)},
         true,
         0},
    };
    for (const KeyCheckCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::pair<std::string, std::string>> request = c.request;
        std::string answer = call(request, c.name);
        auto calls = component.takeCalls();
        std::string log = newLog();
        if (!c.answer.empty()) {
            EXPECT_EQ(answer, c.answer);
        }
        std::size_t warnings = 0;
        for (std::size_t at = log.find("Json map key not found: "); at != std::string::npos;
             at = log.find("Json map key not found: ", at + 1))
            ++warnings;
        EXPECT_EQ(warnings, std::size_t(c.missingWarnings));
        if (!c.called) {
            EXPECT_TRUE(calls.empty());
            EXPECT_THAT(log, Not(HasSubstr("Ready into component func: ")));
            continue;
        }
        ASSERT_EQ(calls.size(), 1u);
        ASSERT_EQ(calls[0].arguments.size(), c.arguments.size());
        for (std::size_t i = 0; i < c.arguments.size(); ++i) {
            EXPECT_EQ(calls[0].arguments[i].isText, c.arguments[i].isText) << i;
            EXPECT_EQ(calls[0].arguments[i].isNull, c.arguments[i].isNull) << i;
            EXPECT_EQ(calls[0].arguments[i].text, c.arguments[i].text) << i;
            EXPECT_EQ(calls[0].arguments[i].number, c.arguments[i].number) << i;
        }
    }
}

TEST_F(AdapterPlugin, AnswerKinds) {
    auto variantOf = [](std::function<void(VARIANT*)> fill) {
        TestComponentReply reply;
        reply.variant = std::move(fill);
        return reply;
    };
    auto arrayOf = [](std::vector<VARIANT> elements) {
        return [elements](VARIANT* out) mutable {
            SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 1, ULONG(elements.size()));
            for (LONG i = 0; i < LONG(elements.size()); ++i) {
                LONG index = i + 1;
                SafeArrayPutElement(array, &index, &elements[std::size_t(i)]);
            }
            for (VARIANT& element : elements) VariantClear(&element);
            out->vt = VT_ARRAY | VT_VARIANT;
            out->parray = array;
        };
    };
    auto bstrVariant = [](const char16_t* text) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(text);
        return v;
    };
    auto intVariant = [](VARTYPE type, int32_t value) {
        VARIANT v;
        VariantInit(&v);
        v.vt = type;
        v.lVal = value;
        return v;
    };
    struct Case {
        const char* label;
        std::string method;
        TestComponentReply reply;
        std::string answer;
    };
    std::vector<Case> cases;
    cases.push_back({"text", "CAPICertGetIssuer", replyText(u"CN=Issuer"), "CN=Issuer"});
    cases.push_back({"zero-length text", "CAPICertGetIssuer", replyText(u""), ""});
    cases.push_back({"null text", "CAPICertGetIssuer", replyNull(), ""});
    cases.push_back({"negative integer", "GPKI_GetCertType", replyNumber(-1), "-1"});
    cases.push_back({"S_FALSE is success", "GPKI_GetCertType", replyNumber(12, S_FALSE), "12"});
    cases.push_back({"no answer", "SetCodePage", {}, "0"});
    cases.push_back({"no answer, failed", "SetXMLReferenceDirs", replyResult(E_FAIL), "61011"});
    cases.push_back(
        {"text method failed", "GPKI_SignData", replyResult(hresultOf(0x80070057u)), "61011"});
    cases.push_back({"failed after writing an answer", "GPKI_SignData",
                     replyText(u"partial", E_FAIL, true), "61011"});
    cases.push_back(
        {"integer method failed", "GPKI_VerifyPIN", replyResult(hresultOf(0x8010006Bu)), "61011"});
    cases.push_back({"VARIANT boolean true", "GPKI_EnumCerts", variantOf([](VARIANT* v) {
                         v->vt = VT_BOOL;
                         v->boolVal = VARIANT_TRUE;
                     }),
                     "1"});
    cases.push_back({"VARIANT boolean false", "GPKI_EnumCerts", variantOf([](VARIANT* v) {
                         v->vt = VT_BOOL;
                         v->boolVal = VARIANT_FALSE;
                     }),
                     "0"});
    cases.push_back({"VARIANT plain string", "GPKI_EnumCerts", variantOf([](VARIANT* v) {
                         v->vt = VT_BSTR;
                         v->bstrVal = SysAllocString(u"lonely");
                     }),
                     ""});
    cases.push_back({"VARIANT array: string, integer, empty", "GPKI_EnumCerts",
                     variantOf(arrayOf({bstrVariant(u"x"), intVariant(VT_I4, 5), VARIANT{}})),
                     "x;5;;"});
    cases.push_back({"VARIANT array of VT_INT", "GPKI_EnumCerts",
                     variantOf(arrayOf({intVariant(VT_INT, 1), intVariant(VT_INT, -2)})), "1;-2;"});
    cases.push_back({"VARIANT empty array", "GPKI_EnumCerts", variantOf(arrayOf({})), ""});
    cases.push_back({"VARIANT array of strings, not of VARIANTs", "GPKI_EnumCerts",
                     variantOf([](VARIANT* v) {
                         SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
                         v->vt = VT_ARRAY | VT_BSTR;
                         v->parray = array;
                     }),
                     ""});
    cases.push_back({"VARIANT method failed", "GPKI_EnumCerts", replyResult(E_FAIL), "61011"});

    for (Case& c : cases) {
        SCOPED_TRACE(c.label);
        component.reset();
        setReply(c.method, c.reply);
        std::string answer =
            call({{"strCert", "c"}, {"iFlags", "1"}, {"codePage", "65001"}}, c.method);
        EXPECT_EQ(answer, c.answer);
        std::string log = newLog();
        if (c.answer == "61011") {
            EXPECT_THAT(log, HasSubstr("Catch component exception"));
            EXPECT_THAT(log, HasSubstr("[Safe Line] Safe in ComponentAPI_" + c.method + " at "));
            EXPECT_THAT(log, Not(HasSubstr("Finish component func: ")));
        }
        EXPECT_EQ(component.takeCalls().size(), 1u);
    }
    std::lock_guard guard(component.lock);
    EXPECT_EQ(component.objectsAlive, 1);
}

TEST_F(AdapterPlugin, AFailedCallFreesTheAnswerTheComponentWroteAnyway) {
    setReply("GPKI_SignData", replyText(u"half-made signature", E_FAIL, true));
    FreedStrings freed;
    EXPECT_EQ(call({{"sOptPIN", "1"}, {"sData", "d"}, {"signcodepage", "x"}}, "GPKI_SignData"),
              "61011");
    bool answerFreed = false;
    for (const auto& f : freed.taken()) answerFreed |= f.text == u"half-made signature";
    EXPECT_TRUE(answerFreed);
}

// Every text parameter that held a PIN or data is zeros at the moment its BSTR is freed, and
// no freed string still holds one of them: on success, on failure and on the key-check path.
TEST_F(AdapterPlugin, TextParametersAreWipedBeforeTheirStringsAreFreed) {
    struct Case {
        const char* label;
        std::string method;
        std::vector<std::pair<std::string, std::string>> request;
        HRESULT result;
        std::string answer;
    };
    const std::string pin = "834271";
    const std::vector<Case> cases = {
        {"sign, success",
         "GPKI_SignData",
         {{"sOptPIN", pin},
          {"sData", "secret-data"},
          {"signcodepage", "utf8"},
          {"iFlags", "1"},
          {"iHashFlag", "2"}},
         S_OK,
         "signed"},
        {"sign, failure",
         "GPKI_SignData",
         {{"sOptPIN", pin},
          {"sData", "secret-data"},
          {"signcodepage", "utf8"},
          {"iFlags", "1"},
          {"iHashFlag", "2"}},
         E_FAIL,
         "61011"},
        {"sign, key check",
         "GPKI_SignData",
         {{"sOptPIN", pin}, {"sData", "secret-data"}, {"AdapterJsonKeyCheck", "true"}},
         S_OK,
         "61016"},
        {"change PIN, success",
         "GPKI_ChangePIN",
         {{"OldPIN", pin}, {"NewPIN", "secret-data"}, {"iFlags", "0"}},
         S_OK,
         "6700"},
        {"change PIN, failure",
         "GPKI_ChangePIN",
         {{"OldPIN", pin}, {"NewPIN", "secret-data"}, {"iFlags", "0"}},
         E_FAIL,
         "61011"},
        {"verify PIN, key check",
         "GPKI_VerifyPIN",
         {{"bPIN", pin}, {"AdapterJsonKeyCheck", "true"}},
         S_OK,
         "61016"},
        {"XML signing PIN",
         "GPKI_XMLSignTemplate",
         {{"bstrPIN", pin}, {"bstrXML", "secret-data"}, {"bstrSignId", "s"}, {"iFlags", "0"}},
         E_FAIL,
         "61011"},
        {"RSA decrypt PIN",
         "GPKI_RSADecrypt",
         {{"strCipher", "secret-data"}, {"strPinCode", pin}, {"iFlags", "0"}},
         S_OK,
         "signed"},
        {"attribute certificate PIN",
         "GPKI_GetAttributeCert",
         {{"strReader", "secret-data"}, {"strPIN", pin}, {"iFlags", "0"}},
         S_OK,
         "signed"},
        {"call through the text entry",
         "",
         {{"FunctionName", "GPKI_DecryptEx"},
          {"sOptPIN", pin},
          {"strCipher", "secret-data"},
          {"iFlags", "0"},
          {"iKeyUsage", "0"}},
         S_OK,
         "signed"},
    };
    warmUp();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        component.reset();
        if (!c.method.empty())
            setReply(c.method, replyText(u"signed", c.result));
        else
            setReply("GPKI_DecryptEx", replyText(u"signed", c.result));
        FreedStrings freed;
        std::string answer =
            c.method.empty() ? adapter->callText(requestJson(c.request).c_str()).value_or("<null>")
                             : call(c.request, c.method);
        EXPECT_EQ(answer, c.answer);
        auto strings = freed.taken();
        std::size_t zeroedPins = 0;
        for (const auto& f : strings) {
            std::u16string wide(f.text);
            std::string narrow(wide.begin(), wide.end());
            EXPECT_EQ(narrow.find(pin), std::string::npos) << "a freed string still holds the PIN";
            EXPECT_EQ(narrow.find("secret-data"), std::string::npos)
                << "a freed string still holds the data";
            if (f.text.size() == pin.size() && FreedStrings::allZero(f.text)) ++zeroedPins;
        }
        EXPECT_GE(zeroedPins, 1u);
        // The strings the component received are among those, zeroed.
        for (const TestComponentCall& call : component.takeCalls())
            for (const TestComponentArgument& argument : call.arguments) {
                if (!argument.isText || argument.isNull) continue;
                auto found = std::find_if(strings.begin(), strings.end(), [&](const auto& f) {
                    return f.address == argument.address;
                });
                ASSERT_NE(found, strings.end());
                EXPECT_TRUE(FreedStrings::allZero(found->text));
            }
    }
}

TEST_F(AdapterPlugin, WhileTheComponentCannotBeCreatedEveryCallAnswers61905) {
    struct Failure {
        const char* label;
        void (*apply)(TestComponentControl&);
    };
    const Failure failures[] = {
        {"creation refused",
         [](TestComponentControl& c) { c.createResult = hresultOf(0x80040154u); }},
        {"running refused", [](TestComponentControl& c) { c.runResult = E_FAIL; }},
        {"interface missing", [](TestComponentControl& c) { c.offerInterface = false; }},
    };
    const std::vector<std::pair<std::string, std::string>> calls = {
        {R"({"TessarollFunctionIndex":"4","strCert":"c","iFlags":"0"})", "CAPICertGetSubject"},
        {R"({"TessarollFunctionIndex":"-1"})", "Tessaroll_GetVersion"},
        {R"({"TessarollFunctionIndex":"-2","url":"https://a.example"})", "Tessaroll_Unlock"},
        {R"({"TessarollFunctionIndex":"-3"})", "Tessaroll_Release"},
        {R"({})", "Tessaroll_GetVersion"},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.label);
        component.reset();
        {
            std::lock_guard guard(component.lock);
            failure.apply(component);
        }
        for (const auto& [json, name] : calls)
            EXPECT_EQ(adapter->call(json, name), "61905") << name;
        EXPECT_EQ(adapter->callText(R"({"FunctionName":"GetVersion"})"), "61905");
        EXPECT_TRUE(component.takeCalls().empty());
        EXPECT_THAT(newLog(), HasSubstr("Component init error!"));
        {
            std::lock_guard guard(component.lock);
            EXPECT_EQ(component.objectsAlive, 0) << "a failed creation leaves no object behind";
        }
        // Once the component can be made, the next call goes through.
        component.reset();
        EXPECT_EQ(call({{"strCert", "c"}, {"iFlags", "0"}}, "CAPICertGetSubject"),
                  "CAPICertGetSubject:\"c\",0");
        EXPECT_EQ(call({{"TessarollFunctionIndex", "-3"}}, "Tessaroll_Release"), "");
    }
}

TEST_F(AdapterPlugin, ReleaseEndsTheComponentAndTheNextCallInitialisesAgain) {
    auto counts = [&] {
        std::lock_guard guard(component.lock);
        return std::pair(component.objectsCreated, component.objectsAlive);
    };
    EXPECT_EQ(call({{"strCert", "c"}, {"iFlags", "0"}}, "CAPICertGetSubject"),
              "CAPICertGetSubject:\"c\",0");
    EXPECT_EQ(counts(), std::pair(1, 1));

    EXPECT_EQ(call({{"TessarollFunctionIndex", "-3"}}, "Tessaroll_Release"), "");
    EXPECT_EQ(counts(), std::pair(1, 0));
    EXPECT_THAT(newLog(), HasSubstr("TessarollRelease"));

    // A second release right away initialises first, then releases again.
    EXPECT_EQ(call({}, "Tessaroll_Release"), "");
    EXPECT_EQ(counts(), std::pair(2, 0));

    EXPECT_EQ(call({{"TessarollFunctionIndex", "-1"}}, "Tessaroll_GetVersion"), "1,0,21,827");
    EXPECT_EQ(counts(), std::pair(3, 1));
    std::string log = newLog();
    EXPECT_THAT(log, HasSubstr("Init adapter: ZEFAVZDediGPKICryptATLAdapter"));
    EXPECT_THAT(log, HasSubstr("Success enable:"));
    EXPECT_THAT(log, HasSubstr("Component api: 61"));
    EXPECT_THAT(log, HasSubstr("System api: 3"));
    EXPECT_THAT(log, HasSubstr("[ZEFAVZDediGPKICryptATLAdapter]"));
}

TEST_F(AdapterPlugin, TwoCopiesKeepSeparateState) {
    AdapterCopy second(box.sandbox().root() / "copy2");
    EXPECT_EQ(call({}, "get_lastError"), "700");
    EXPECT_EQ(second.call("{}", "get_lastError"), "700");
    EXPECT_EQ(call({{"TessarollFunctionIndex", "-3"}}, "Tessaroll_Release"), "");
    {
        std::lock_guard guard(component.lock);
        EXPECT_EQ(component.objectsCreated, 2);
        EXPECT_EQ(component.objectsAlive, 1);
    }
    // The second copy still holds its component: no new object for its next call.
    EXPECT_EQ(second.call(R"({"TessarollFunctionIndex":"21","srcData":"a","codePage":"b"})",
                          "GPKI_Base64Encode"),
              "GPKI_Base64Encode:\"a\",\"b\"");
    auto calls = component.takeCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].object, calls[1].object);
    std::lock_guard guard(component.lock);
    EXPECT_EQ(component.objectsCreated, 2);
}

TEST_F(AdapterPlugin, TextEntryPoint) {
    EXPECT_EQ(adapter->callText(nullptr), "");
    EXPECT_EQ(adapter->callText(R"({"strCert":"c"})"), "61005");
    EXPECT_EQ(adapter->callText("{not json"), "");
    EXPECT_EQ(
        adapter->callText(R"({"FunctionName":"CAPICertGetVersion","strCert":"c","iFlags":"2"})"),
        "CAPICertGetVersion:\"c\",2");
    // A function name protected by its companion flag is decoded before the dispatch.
    EXPECT_EQ(
        adapter->callText(
            R"({"FunctionName":"R2V0VmVyc2lvbg%3D%3D","FunctionName_TessarollBase64Flag":"true"})"),
        "GetVersion:0");
}

TEST_F(AdapterPlugin, JsonMapEntryPointRefusesNullArguments) {
    JsonMapPtr map = parseJsonMap(R"({"a":"b"})");
    EXPECT_STREQ(adapter->callJsonMap(nullptr, "GetVersion"), "");
    EXPECT_STREQ(adapter->callJsonMap(map.get(), nullptr), "");
    EXPECT_TRUE(component.takeCalls().empty());
}

TEST(AdapterLibrary, ExportsExactlyItsTwoEntryPoints) {
    std::string command = "nm -D --defined-only '" + stagedAdapter().string() + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        std::size_t last = text.find_last_of(' ');
        names.push_back(text.substr(last + 1, text.find_last_not_of("\n") - last));
    }
    ASSERT_EQ(pclose(pipe), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"callJsonMapMethod", "callMethod"}));
}

}  // namespace
