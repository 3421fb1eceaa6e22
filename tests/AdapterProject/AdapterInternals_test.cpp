// The adapter's own pieces, linked into the test: getters, result makers, the VARIANT
// converter, the function table, and states the plug-in cannot be driven into from outside.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include "AdapterProject/AdapterCommon.h"
#include "AdapterProject/AdapterState.h"
#include "ComponentTable.h"
#include "TessarollUtil/Adapter.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/Logger.h"
#include "doubles/AdapterHarness/AdapterHarness.h"

extern "C" const char* callJsonMapMethod(const JsonMap* map, const char* functionName);

using namespace adapter_testing;

namespace {

JsonMapPtr mapOf(const std::vector<std::pair<std::string, std::string>>& pairs) {
    return parseJsonMap(requestJson(pairs));
}

TEST(AdapterGetters, IntegerValues) {
    JsonMapPtr map = mapOf({{"upper", "TRUE"},
                            {"capital", "False"},
                            {"mixed", "12ab"},
                            {"spaced", " -7"},
                            {"letters", "abc"},
                            {"plus", "+15"},
                            {"huge", "99999999999"},
                            {"tiny", "-99999999999"},
                            {"coded", "MzQ%3D"},
                            {"coded_TessarollBase64Flag", "true"}});
    const std::pair<const char*, int32_t> cases[] = {
        {"upper", 1}, {"capital", 0},      {"mixed", 12},       {"spaced", -7}, {"letters", 0},
        {"plus", 15}, {"huge", INT32_MAX}, {"tiny", INT32_MIN}, {"coded", 34},  {"absent", 0},
    };
    for (const auto& [key, value] : cases) EXPECT_EQ(getJsonMapInt(map.get(), key), value) << key;
    EXPECT_EQ(getJsonMapInt(nullptr, "upper"), 0);
    EXPECT_EQ(getJsonMapInt(map.get(), nullptr), 0);
}

TEST(AdapterGetters, TextValuesKeepNullAndEmptyApart) {
    JsonMapPtr map = mapOf({{"empty", ""}, {"word", "Grüße"}});
    EXPECT_TRUE(getJsonMapBstr(map.get(), "absent").isNull());
    _bstr_t empty = getJsonMapBstr(map.get(), "EMPTY");
    ASSERT_FALSE(empty.isNull());
    EXPECT_EQ(empty.length(), 0u);
    EXPECT_EQ(std::u16string(getJsonMapBstr(map.get(), "word").GetBSTR()), u"Grüße");
    EXPECT_TRUE(getJsonMapBstr(nullptr, "word").isNull());
}

TEST(AdapterGetters, ReadingAbsentOrFlaggedKeysLogsNoMissingKey) {
    // Whether a key is missing is the handler's question, answered in its own list: the
    // getters stay quiet, also about the companion flags they look up.
    ComponentSandbox box;
    resetLogForTests();
    resetLoggerForTests();
    JsonMapPtr map =
        mapOf({{"iFlags", "1"}, {"strCert", "Yw%3D%3D"}, {"strCert_TessarollBase64Flag", "true"}});
    EXPECT_EQ(std::u16string(getJsonMapBstr(map.get(), "strCert").GetBSTR()), u"c");
    EXPECT_TRUE(getJsonMapBstr(map.get(), "bPIN").isNull());
    EXPECT_EQ(getJsonMapInt(map.get(), "topuidetect"), 0);
    EXPECT_THAT(box.log(), ::testing::Not(::testing::HasSubstr("Json map key not found")));
}

TEST(AdapterResults, Makers) {
    EXPECT_EQ(makeCodeText(61016), "61016");
    EXPECT_EQ(makeCodeText(0), "0");
    EXPECT_EQ(makeNumberText(-1), "-1");
    EXPECT_EQ(makeNumberText(INT32_MIN), "-2147483648");
    EXPECT_EQ(makeAnswerText(_bstr_t("")), std::nullopt);
    EXPECT_EQ(makeAnswerText(_bstr_t()), std::nullopt);
    EXPECT_EQ(makeAnswerText(_bstr_t("Ünïcode")), "Ünïcode");
    // The maker lets its reference go: the string is freed once the last holder does.
    FreedStrings freed;
    {
        _bstr_t kept("shared");
        EXPECT_EQ(makeAnswerText(_bstr_t(kept)), "shared");
        EXPECT_TRUE(freed.taken().empty());
    }
    EXPECT_EQ(freed.taken().size(), 1u);
}

VARIANT variantOf(VARTYPE type, int32_t value = 0, const char16_t* text = nullptr) {
    VARIANT v;
    VariantInit(&v);
    v.vt = type;
    if (type == VT_BSTR)
        v.bstrVal = SysAllocString(text);
    else if (type == VT_BOOL)
        v.boolVal = VARIANT_BOOL(value);
    else
        v.lVal = value;
    return v;
}

VARIANT arrayOf(std::vector<VARIANT> elements) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(elements.size()));
    for (LONG i = 0; i < LONG(elements.size()); ++i) {
        SafeArrayPutElement(v.parray, &i, &elements[std::size_t(i)]);
        VariantClear(&elements[std::size_t(i)]);
    }
    return v;
}

TEST(AdapterVariant, TextOfEachKindAndTheValueIsCleared) {
    struct Case {
        const char* label;
        VARIANT value;
        std::u16string text;
    };
    std::vector<Case> cases;
    cases.push_back({"true", variantOf(VT_BOOL, VARIANT_TRUE), u"1"});
    cases.push_back({"false", variantOf(VT_BOOL, VARIANT_FALSE), u"0"});
    cases.push_back({"plain string", variantOf(VT_BSTR, 0, u"x"), u""});
    cases.push_back({"plain integer", variantOf(VT_I4, 5), u""});
    cases.push_back(
        {"string, integer, empty",
         arrayOf({variantOf(VT_BSTR, 0, u"x"), variantOf(VT_I4, 5), variantOf(VT_EMPTY)}),
         u"x;5;;"});
    cases.push_back({"null string element",
                     arrayOf({variantOf(VT_BSTR, 0, nullptr), variantOf(VT_INT, -3)}), u";-3;"});
    cases.push_back({"nested array element is not read",
                     arrayOf({arrayOf({variantOf(VT_BSTR, 0, u"in")})}), u";"});
    cases.push_back({"empty array", arrayOf({}), u""});
    for (Case& c : cases) {
        SCOPED_TRACE(c.label);
        _bstr_t text = variantToBstr(&c.value);
        ASSERT_FALSE(text.isNull());
        EXPECT_EQ(std::u16string(text.GetBSTR(), text.length()), c.text);
        EXPECT_EQ(c.value.vt, VT_EMPTY);
    }
}

TEST(AdapterTable, NamesCompareWithoutCaseAndShorterFirst) {
    auto entry = [](const char* name) { return AdapterFunctionEntry{name, nullptr}; };
    const std::tuple<const char*, const char*, int> cases[] = {
        {"abc", "ABD", -1},
        {"ABD", "abc", 1},
        {"GPKI_Sign", "gpki_signdata", -1},
        {"gpki_signdata", "GPKI_Sign", 1},
        {"Same", "sAME", 0},
        {"_", "a", -1},
    };
    for (const auto& [a, b, order] : cases) {
        AdapterFunctionEntry x = entry(a), y = entry(b);
        EXPECT_EQ(compareAdapterFunctionNames(&x, &y), order) << a << " " << b;
    }
    AdapterFunctionEntry x = entry("a");
    EXPECT_EQ(compareAdapterFunctionNames(nullptr, &x), 100);
    EXPECT_EQ(compareAdapterFunctionNames(&x, nullptr), 100);
}

AdapterAnswer handlerA(const JsonMap*) {
    return "a";
}
AdapterAnswer handlerB(const JsonMap*) {
    return "b";
}

TEST(AdapterTable, RegistrationRefusesANameThatDiffersOnlyInCase) {
    AdapterFunctionTable table;
    registerAdapterFunction(&table, &handlerA, "GPKI_SignData");
    registerAdapterFunction(&table, &handlerB, "gpki_signDATA");
    registerAdapterFunction(&table, &handlerB, nullptr);
    registerAdapterFunction(nullptr, &handlerB, "x");
    ASSERT_EQ(table.count, 1);
    EXPECT_EQ(table.entries[0].handler, &handlerA);
    registerAdapterFunction(&table, &handlerB, std::string(200, 'n').c_str());
    EXPECT_EQ(table.entries[1].name.size(), 127u);

    AdapterFunctionTable empty;
    EXPECT_EQ(BinarySearchTessarollAdapterMap(&empty, "x", 0, -1), nullptr);
}

class AdapterState : public ::testing::Test {
protected:
    ComponentSandbox box;
    JsonMapPtr map = mapOf({{"TessarollFunctionIndex", "-1"}});
    void SetUp() override {
        // Logging of the linked-in copy starts again from this test's sandbox.
        resetLogForTests();
        resetLoggerForTests();
        ASSERT_STREQ(callJsonMapMethod(map.get(), "Tessaroll_GetVersion"), "1,0,21,827");
    }
    void TearDown() override {
        JsonMapPtr release = mapOf({{"TessarollFunctionIndex", "-3"}});
        callJsonMapMethod(release.get(), "Tessaroll_Release");
    }
};

TEST_F(AdapterState, TheSortedTableFindsEveryFunctionInAnyCase) {
    const AdapterFunctionTable* table = adapterFunctionTable();
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->count, 64);
    for (int i = 1; i < table->count; ++i)
        EXPECT_EQ(compareAdapterFunctionNames(&table->entries[std::size_t(i - 1)],
                                              &table->entries[std::size_t(i)]),
                  -1);
    const auto& index = adapterComponentFunctionIndex();
    ASSERT_EQ(index.size(), componentFunctionRows().size());
    std::vector<std::string> names;
    for (const FunctionRow& row : componentFunctionRows()) {
        EXPECT_EQ(index[std::size_t(row.index)].name, row.name);
        names.push_back(row.name);
    }
    names.insert(names.end(), {"Tessaroll_GetVersion", "Tessaroll_Release", "Tessaroll_Unlock"});
    for (std::string name : names) {
        EXPECT_NE(BinarySearchTessarollAdapterMap(table, name.c_str(), 0, table->count - 1),
                  nullptr)
            << name;
        for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_NE(BinarySearchTessarollAdapterMap(table, name.c_str(), 0, table->count - 1),
                  nullptr)
            << name;
    }
    for (const char* unknown :
         {"", "0", "A", "CAPICertGetSubjectX", "GPKI_Sign", "Tessaroll_", "zzzz"})
        EXPECT_EQ(BinarySearchTessarollAdapterMap(table, unknown, 0, table->count - 1), nullptr)
            << unknown;
}

TEST_F(AdapterState, WithoutTheInterfaceCallsAndTheReleaseAnswer61011) {
    ICardCryptoComponent* kept = componentInterface;
    componentInterface = nullptr;
    JsonMapPtr call = mapOf({{"strCert", "c"}, {"iFlags", "0"}});
    EXPECT_STREQ(callJsonMapMethod(call.get(), "CAPICertGetSubject"), "61011");
    EXPECT_TRUE(box.component().takeCalls().empty());

    JsonMapPtr release = mapOf({{"TessarollFunctionIndex", "-3"}});
    EXPECT_STREQ(callJsonMapMethod(release.get(), "Tessaroll_Release"), "61011");
    EXPECT_FALSE(adapterIsInitialized());
    kept->Release();
    EXPECT_THAT(box.log(), ::testing::HasSubstr("Safe in TessarollRelease at "));
    // The copy starts over on the next call instead of answering without its tables.
    EXPECT_STREQ(callJsonMapMethod(call.get(), "CAPICertGetSubject"), "CAPICertGetSubject:\"c\",0");
    EXPECT_EQ(comInitializeCount(), 1);
}

TEST_F(AdapterState, FailedCreationsDoNotPileUpInitialisations) {
    JsonMapPtr release = mapOf({{"TessarollFunctionIndex", "-3"}});
    callJsonMapMethod(release.get(), "Tessaroll_Release");
    EXPECT_EQ(comInitializeCount(), 0);
    box.component().createResult = E_FAIL;
    for (int i = 0; i < 3; ++i)
        EXPECT_STREQ(callJsonMapMethod(map.get(), "Tessaroll_GetVersion"), "61905");
    EXPECT_EQ(comInitializeCount(), 0);
}

}  // namespace
