#include "TessarollUtil/JsonMap.h"
#include "TessarollUtil/Text.h"

#include "doubles/LogCapture/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testing_support::LogCapture;

std::string pairsJson(int pairs, const std::string& prefix = "k") {
    std::string json = "{";
    for (int i = 0; i < pairs; ++i) {
        if (i) json += ",";
        json += "\"" + prefix + std::to_string(i) + "\":\"v" + std::to_string(i) + "\"";
    }
    return json + "}";
}

std::vector<std::string> keysInOrder(const JsonMap& map) {
    std::vector<std::string> keys;
    for (int i = 0; i < map.count; ++i) keys.emplace_back(map.entries[i].key);
    return keys;
}

// ---- parsing ----------------------------------------------------------------------------

TEST(ParseJsonMap, SortsKeysAndFindsThemInAnyCase) {
    auto map = parseJsonMap(R"({"SessionId": "abc_SID", "FunctionName": "Echo"})");
    ASSERT_TRUE(map);
    EXPECT_EQ(map->count, 2);
    EXPECT_EQ(keysInOrder(*map), (std::vector<std::string>{"FunctionName", "SessionId"}));
    EXPECT_EQ(getJsonMapValue(map.get(), "functionname"), "Echo");
    EXPECT_EQ(getJsonMapValue(map.get(), "SESSIONID"), "abc_SID");
    EXPECT_FALSE(getJsonMapValue(map.get(), "Function"));
    ASSERT_NE(map->jsonText, nullptr);
    EXPECT_STREQ(map->jsonText, R"({"SessionId": "abc_SID", "FunctionName": "Echo"})");
}

TEST(ParseJsonMap, ValuesAreUnescapedOnlyByTheSevenRules) {
    struct Case {
        const char* json;
        const char* value;
    };
    const Case cases[] = {
        {R"({"a":"x\ny"})", "x\ny"},
        {R"({"a":"x\\y"})", "x\\\\y"},  // an escaped backslash stays two characters
        {R"({"a":"say \"hi\""})", "say \"hi\""},
        {R"({"a":"tab\tcr\r"})", "tab\tcr\r"},
        {R"({"a":"\u001b\u000e\u000f"})", "\x1b\x0e\x0f"},
        {R"({"a":"\u0041\/"})", "\\u0041\\/"},
        {R"({"a":""})", ""},
        {R"({"a":true})", "true"},
        {R"({"a":123})", "123"},
        {R"({"a":null})", "null"},
        {R"({a:bare})", "bare"},  // lenient tokenizer: unquoted runs are values
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        auto map = parseJsonMap(c.json);
        ASSERT_TRUE(map);
        EXPECT_EQ(getJsonMapValue(map.get(), "a"), c.value);
    }
}

TEST(ParseJsonMap, RefusesTextsThatAreNotAnObjectOfPairs) {
    const std::string cases[] = {"{}",          "[]",           "",       R"({"a":"unterminated)",
                                 R"({"a":"b")", pairsJson(129), "nothing"};
    for (const std::string& json : cases) {
        SCOPED_TRACE(json.substr(0, 40));
        LogCapture log;
        EXPECT_FALSE(parseJsonMap(json));
        const auto lines = log.lines();
        EXPECT_TRUE(log.contains("[Error] jsmn parse error"));
        EXPECT_TRUE(log.contains("[Error] Error json: " + std::to_string(json.size()) + " bytes"));
    }
    // A request cut short still names its PIN and secret: none of its text reaches the log.
    LogCapture cut;
    EXPECT_FALSE(parseJsonMap(
        R"({"FunctionName": "GPKI_SignInitLogin", "sOptPIN": "917364", "Tessaroll_share_secret": "PageSecret-77)"));
    EXPECT_TRUE(cut.contains("[Error] jsmn parse error"));
    for (const char* part : {"917364", "PageSecret-77", "GPKI_SignInitLogin"})
        EXPECT_FALSE(cut.contains(part)) << part;
    LogCapture log;
    EXPECT_FALSE(parseJsonMap(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(log.contains("Parameter inputJsonStr is null at "));
}

// The full table: 128 keys in random order and mixed case, all found, neighbours not.
TEST(ParseJsonMap, HoldsAndFindsAllOf128Keys) {
    std::vector<std::string> keys;
    for (int i = 0; i < kJsonMapCapacity; ++i) {
        std::string key = "Key_" + std::to_string(i * 7919 % 1000);
        if (i % 3 == 0) std::transform(key.begin(), key.end(), key.begin(), ::toupper);
        if (i % 5 == 0) key = "_" + key;  // "_" sorts between upper and lower case letters
        keys.push_back(key);
    }
    std::shuffle(keys.begin(), keys.end(), std::mt19937(42));
    std::string json = "{";
    for (std::size_t i = 0; i < keys.size(); ++i)
        json += (i ? ",\"" : "\"") + keys[i] + "\":\"" + keys[i] + "!\"";
    json += "}";

    auto map = parseJsonMap(json);
    ASSERT_TRUE(map);
    ASSERT_EQ(map->count, kJsonMapCapacity);
    for (int i = 1; i < map->count; ++i)
        EXPECT_LT(compareJsonMapEntries(&map->entries[i - 1], &map->entries[i]), 0)
            << map->entries[i].key;
    for (const std::string& key : keys) {
        std::string lower = toLowerString(key);
        EXPECT_EQ(getJsonMapValue(map.get(), lower), key + "!");
        EXPECT_FALSE(getJsonMapValue(map.get(), lower + "x"));
        EXPECT_FALSE(getJsonMapValue(map.get(), lower.substr(0, lower.size() - 1) + "~"));
    }
    EXPECT_FALSE(getJsonMapValue(map.get(), ""));
    EXPECT_FALSE(getJsonMapValue(map.get(), "~~~"));
}

TEST(CompareJsonMapEntries, CaseInsensitiveAndNullIs100) {
    char a[] = "FunctionName", b[] = "functionname", c[] = "functionnameX";
    JsonMapEntry ea{a, nullptr, nullptr, 0}, eb{b, nullptr, nullptr, 0}, ec{c, nullptr, nullptr, 0};
    EXPECT_EQ(compareJsonMapEntries(&ea, &eb), 0);
    EXPECT_EQ(compareJsonMapEntries(&ea, &ec), -1);
    EXPECT_EQ(compareJsonMapEntries(&ec, &eb), 1);
    LogCapture log;
    EXPECT_EQ(compareJsonMapEntries(nullptr, &ea), 100);
    EXPECT_EQ(compareJsonMapEntries(&ea, nullptr), 100);
    EXPECT_TRUE(log.contains("Parameter inputA is null"));
    EXPECT_TRUE(log.contains("Parameter inputB is null"));
}

// ---- companion flags ------------------------------------------------------------------------

// The worked example of the README's "Encrypted parameters".
const char* const kEncryptedRequest =
    R"({"FunctionName": "GPKI_VerifyPIN", "SessionId": "", "bPIN": "917d631b75046d9cc6befc98d8ab59cd", )"
    R"("bPIN_TessarollEncryptFlag": "true", "iFlags": "0", )"
    R"("Tessaroll_share_secret": "PageSecret-2026-0123456789ABCDEF"})";

// The request line of the README's example, read from the README itself.
std::string readmeEncryptedRequest() {
    const std::filesystem::path readme =
        std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "README.md";
    std::istringstream in(testing_support::readFile(readme));
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("    {\"FunctionName\": \"GPKI_VerifyPIN\"")) return line.substr(4);
    return {};
}

TEST(DecodeJsonMapParameter, ReadmeWorkedExampleDecrypts) {
    const std::string request = readmeEncryptedRequest();
    EXPECT_EQ(request, kEncryptedRequest);
    auto map = parseJsonMap(request);
    ASSERT_TRUE(map);
    EXPECT_EQ(getJsonMapValue(map.get(), "bPIN"), "123456");
    EXPECT_EQ(getJsonMapValue(map.get(), "iFlags"), "0");
    const auto iv = parameterEncryptionIV();
    EXPECT_EQ(std::string(iv.begin(), iv.end()), "TessarollParamIV");
}

TEST(DecodeJsonMapParameter, FlagsDecideTheTransformation) {
    struct Case {
        const char* name;
        const char* key;
        std::string json;
        std::string expected;
    };
    const std::string secret = R"("Tessaroll_share_secret": "PageSecret-2026-0123456789ABCDEF")";
    const Case cases[] = {
        {"no flag", "pwd", R"({"pwd": "C:*dir*f"})", "C:*dir*f"},
        {"star flag", "pwd", R"({"pwd": "C:*dir*f", "pwd_TessarollFlag": "true"})", "C:\\dir\\f"},
        {"slash flag in capitals", "pwd",
         R"({"pwd": "a==TessarollSlash==b", "PWD_TESSAROLLSLASHFLAG": "TRUE"})", "a\\b"},
        {"base64 flag", "v", R"({"v": "YWJj%3D", "v_TessarollBase64Flag": "True"})", "abc"},
        {"true with a blank is not true", "pwd", R"({"pwd": "C:*d", "pwd_TessarollFlag": "true "})",
         "C:*d"},
        {"false", "pwd", R"({"pwd": "C:*d", "pwd_TessarollFlag": "false"})", "C:*d"},
        {"another key's flag", "v", R"({"v": "C:*d", "vx_TessarollFlag": "true"})", "C:*d"},
        {"a flag among many keys", "pwd",
         R"({"a": "1", "pwd": "C:*d", "pwd_TessarollFlag": "true", "z": "2"})", "C:\\d"},
        {"star wins over base64", "v",
         R"({"v": "YW*J", "v_TessarollFlag": "true", "v_TessarollBase64Flag": "true"})", "YW\\J"},
        {"a false flag lets the next one decide", "v",
         R"({"v": "YWJj", "v_TessarollFlag": "no", "v_TessarollBase64Flag": "true"})", "abc"},
        {"encrypted with prefix", "v",
         R"({"v": "74d6e7ce9358f5d406669c58d3dd721c19cb2f7a0c76b739ab6b050ed005de24", "v_TessarollEncryptFlag": "true", )" +
             secret + "}",
         "1234"},
        {"encrypted without share secret comes back as hex", "v",
         R"({"v": "917d631b75046d9cc6befc98d8ab59cd", "v_TessarollEncryptFlag": "true"})",
         "917d631b75046d9cc6befc98d8ab59cd"},
        {"share secret shorter than a key", "v",
         R"({"v": "917d631b75046d9cc6befc98d8ab59cd", "v_TessarollEncryptFlag": "true", "Tessaroll_share_secret": "short"})",
         "917d631b75046d9cc6befc98d8ab59cd"},
        {"wrong share secret comes back as hex", "v",
         R"({"v": "917d631b75046d9cc6befc98d8ab59cd", "v_TessarollEncryptFlag": "true", "Tessaroll_share_secret": "PageSecret-2026-0123456789ABCDEX"})",
         "917d631b75046d9cc6befc98d8ab59cd"},
        {"encrypt wins over star", "v",
         R"({"v": "917d631b75046d9cc6befc98d8ab59cd", "v_TessarollEncryptFlag": "true", "v_TessarollFlag": "true", )" +
             secret + "}",
         "123456"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto map = parseJsonMap(c.json);
        ASSERT_TRUE(map);
        EXPECT_EQ(getJsonMapValue(map.get(), c.key), c.expected);
    }
}

TEST(GetJsonMapBool, TrueInAnyCaseAfterDecoding) {
    auto map = parseJsonMap(
        R"({"a": "TRUE", "b": "true ", "c": "1", "d": "dHJ1ZQ", "d_TessarollBase64Flag": "true", "e": ""})");
    ASSERT_TRUE(map);
    EXPECT_TRUE(getJsonMapBool(map.get(), "a"));
    EXPECT_FALSE(getJsonMapBool(map.get(), "b"));
    EXPECT_FALSE(getJsonMapBool(map.get(), "c"));
    EXPECT_TRUE(getJsonMapBool(map.get(), "d"));
    EXPECT_FALSE(getJsonMapBool(map.get(), "e"));
    EXPECT_FALSE(getJsonMapBool(map.get(), "missing"));
}

TEST(BinarySearchTessarollJsonMap, PresenceIsTheEntryNotItsValue) {
    auto map = parseJsonMap(R"({"iFlags": "0", "Empty": "", "b": "1", "c": "2", "d": "3"})");
    ASSERT_TRUE(map);
    ASSERT_EQ(setJsonMapValue(map.get(), "noText", std::nullopt), 0);
    LogCapture log;
    const std::pair<const char*, bool> cases[] = {
        {"iFlags", true},   {"IFLAGS", true}, {"empty", true},    {"noText", true}, {"d", true},
        {"strCert", false}, {"iFlag", false}, {"iFlagsX", false}, {"", false},
    };
    for (const auto& [key, present] : cases)
        EXPECT_EQ(jsonMapHasKey(map.get(), key), present) << key;
    EXPECT_FALSE(jsonMapHasKey(nullptr, "iFlags"));
    auto empty = newJsonMap();
    EXPECT_FALSE(jsonMapHasKey(empty.get(), "iFlags"));
    // An entry without text is there, but has no value to look up.
    EXPECT_FALSE(getJsonMapValue(map.get(), "noText"));
    EXPECT_FALSE(BinarySearchTessarollJsonMap(map.get(), 0, map->count - 1, "strCert"));
    EXPECT_FALSE(log.contains("Json map key not found"));
}

TEST(BinarySearchTessarollJsonMap, BinaryValueWhenThereIsNoText) {
    auto map = newJsonMap();
    ASSERT_TRUE(map);
    ASSERT_EQ(setJsonMapValue(map.get(), "blob", std::nullopt), 0);
    ASSERT_EQ(setJsonMapValue(map.get(), "none", std::nullopt), 0);
    JsonMapEntry& blob = map->entries[0];
    blob.binaryValue = static_cast<unsigned char*>(std::malloc(3));
    std::memcpy(blob.binaryValue, "a\0b", 3);
    blob.binaryLength = 3;
    EXPECT_EQ(getJsonMapValue(map.get(), "blob"), std::string("a\0b", 3));
    EXPECT_FALSE(getJsonMapValue(map.get(), "none"));
    EXPECT_EQ(serializeJsonMap(map.get()), "{}");
    std::free(blob.binaryValue);
    blob.binaryValue = nullptr;
}

// ---- setting and serialising ----------------------------------------------------------------

TEST(SetJsonMapValue, ReplacesInAnyCaseOrInsertsSorted) {
    auto map = parseJsonMap(R"({"FunctionName": "Echo", "b": "1"})");
    ASSERT_TRUE(map);
    EXPECT_EQ(setJsonMapValue(map.get(), "FUNCTIONNAME", "Close"), 0);
    EXPECT_EQ(map->count, 2);
    EXPECT_EQ(keysInOrder(*map), (std::vector<std::string>{"b", "FunctionName"}));
    EXPECT_EQ(getJsonMapValue(map.get(), "functionName"), "Close");

    EXPECT_EQ(setJsonMapValue(map.get(), "a", "first"), 0);
    setJsonMapResult(map.get(), -61005);
    EXPECT_EQ(keysInOrder(*map), (std::vector<std::string>{"a", "b", "FunctionName", "result"}));
    EXPECT_EQ(getJsonMapValue(map.get(), "result"), "-61005");

    EXPECT_EQ(setJsonMapValue(map.get(), "b", std::nullopt), 0);
    EXPECT_FALSE(getJsonMapValue(map.get(), "b"));
    EXPECT_EQ(map->count, 4);
}

// The service keeps freed records for its next maps: one comes back as if fresh from
// calloc, whatever the map held before, and serves as a new one.
TEST(ReusedJsonMap, ComesBackAllZeroAndWorksAsNew) {
    reuseFreedJsonMaps();
    {
        auto parsed = parseJsonMap(R"({"b": "2", "a": "1", "sPIN": "1234"})");
        auto built = newJsonMap();
        ASSERT_TRUE(parsed && built);
        setJsonMapValue(built.get(), "result", std::string_view("0"));
    }
    for (int i = 0; i < 3; ++i) {  // the two kept and one from the allocator
        auto map = newJsonMap();
        ASSERT_TRUE(map);
        const auto* bytes = reinterpret_cast<const unsigned char*>(map.get());
        EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(JsonMap), [](unsigned char b) { return !b; }))
            << i;
        setJsonMapValue(map.get(), "z", std::string_view("last"));
        setJsonMapValue(map.get(), "A", std::string_view("first"));
        EXPECT_EQ(serializeJsonMap(map.get()), R"({"A": "Zmlyc3Q=", "z": "bGFzdA=="})");
    }
}

TEST(SetJsonMapValue, RefusesA129thKeyButStillReplaces) {
    auto map = parseJsonMap(pairsJson(kJsonMapCapacity));
    ASSERT_TRUE(map);
    LogCapture log;
    EXPECT_NE(setJsonMapValue(map.get(), "one_more", "x"), 0);
    EXPECT_EQ(map->count, kJsonMapCapacity);
    EXPECT_FALSE(getJsonMapValue(map.get(), "one_more"));
    EXPECT_TRUE(log.contains("Json map full, key not added: one_more"));
    EXPECT_EQ(setJsonMapValue(map.get(), "K127", "new"), 0);
    EXPECT_EQ(getJsonMapValue(map.get(), "k127"), "new");
}

TEST(SerializeJsonMap, Base64ValuesInSortedOrder) {
    auto map = newJsonMap();
    ASSERT_TRUE(map);
    EXPECT_EQ(serializeJsonMap(map.get()), "{}");
    setJsonMapValue(map.get(), "result", "0");
    setJsonMapValue(map.get(), "FunctionName", "Echo");
    EXPECT_EQ(serializeJsonMap(map.get()), R"({"FunctionName": "RWNobw==", "result": "MA=="})");
    setJsonMapValue(map.get(), "empty", "");
    setJsonMapValue(map.get(), "absent", std::nullopt);
    EXPECT_EQ(serializeJsonMap(map.get()),
              R"({"empty": "", "FunctionName": "RWNobw==", "result": "MA=="})");
}

// Parse, serialise, parse again: every key and (Base64-decoded) value survives.
TEST(SerializeJsonMap, RoundTripThroughTheParser) {
    auto map =
        parseJsonMap(R"({"SessionId": "ab\"c", "line": "1\n2", "utf8": "中文", "n": 7, "Z": ""})");
    ASSERT_TRUE(map);
    auto text = serializeJsonMap(map.get());
    ASSERT_TRUE(text);
    auto again = parseJsonMap(*text);
    ASSERT_TRUE(again);
    ASSERT_EQ(again->count, map->count);
    for (int i = 0; i < map->count; ++i) {
        SCOPED_TRACE(map->entries[i].key);
        EXPECT_STREQ(again->entries[i].key, map->entries[i].key);
        EXPECT_EQ(urlBase64Decode(again->entries[i].value), map->entries[i].value);
    }
}

// ---- display ----------------------------------------------------------------------------------

TEST(DisplayJsonMapParameters, MasksSecretsButNotOwnKeys) {
    auto map = parseJsonMap(
        R"({"userPIN": "1234", "Password": "hunter2", "newPw": "abc", "Tessaroll_share_secret": "s3cr3t", )"
        R"("token": "tok", "token_TessarollHide": "true", "plain": "shown"})");
    ASSERT_TRUE(map);
    setJsonMapValue(map.get(), "nothing", std::nullopt);
    LogCapture log;
    log.take();
    displayJsonMapParameters(map.get());
    std::vector<std::string> lines = log.take();
    for (std::string& line : lines) line = line.substr(line.find("[Normal] ") + 9);
    const std::vector<std::string> expected = {
        "= DISPLAY PARAMETER ===== start =====",
        "newPw: ***",
        "nothing: [empty]",
        "Password: *******",
        "plain: shown",
        "Tessaroll_share_secret: ******",
        "token: ***",
        "token_TessarollHide: true",
        "userPIN: ****",
        "= DISPLAY PARAMETER ===== end =====",
    };
    EXPECT_EQ(lines, expected);
}

// Decrypting displays the map, and the display reads hide flags: those reads must not decode
// (a hide flag that is itself marked encrypted would otherwise display, decrypt and display
// again without end).
TEST(DisplayJsonMapParameters, HideFlagsAreReadRaw) {
    auto map = parseJsonMap(
        R"({"a": "x", "a_TessarollHide": "74d6e7ce9358f5d406669c58d3dd721c19cb2f7a0c76b739ab6b050ed005de24", )"
        R"("a_TessarollHide_TessarollEncryptFlag": "true", "Tessaroll_share_secret": "PageSecret-2026-0123456789ABCDEF"})");
    ASSERT_TRUE(map);
    LogCapture log;
    EXPECT_EQ(getJsonMapValue(map.get(), "a_TessarollHide"), "1234");
    EXPECT_TRUE(log.contains("a: x"));
}

TEST(DisplayJsonMapParameters, SilentWhileLoggingIsOff) {
    resetLogForTests();
    auto map = parseJsonMap(R"({"a": "x"})");
    displayJsonMapParameters(map.get());  // nothing to see, nothing to crash
    SUCCEED();
}

// ---- reading a value straight from a text ------------------------------------------------------

TEST(GetJsonTextValue, FindsKeyInAnyCase) {
    const std::string message =
        R"({"From": "ZEFAGPKITessarollWorker.exe", "To": "ZEFAGPKITessarollMain.exe", "Message": "say \"x\"", "Empty": ""})";
    EXPECT_EQ(getJsonTextValue(message, "from"), "ZEFAGPKITessarollWorker.exe");
    EXPECT_EQ(getJsonTextValue(message, "TO"), "ZEFAGPKITessarollMain.exe");
    EXPECT_EQ(getJsonTextValue(message, "Message"), "say \"x\"");
    EXPECT_FALSE(getJsonTextValue(message, "Empty"));
    EXPECT_FALSE(getJsonTextValue(message, "ZEFAGPKITessarollMain.exe")) << "values are not keys";
    EXPECT_FALSE(getJsonTextValue(message, "Missing"));
    EXPECT_FALSE(getJsonTextValue("{}", "a"));
    EXPECT_FALSE(getJsonTextValue(R"({"a": "unterminated)", "a"));
    EXPECT_FALSE(getJsonTextValue(pairsJson(40), "k1")) << "more tokens than the reader holds";
    EXPECT_EQ(getJsonTextValue(pairsJson(31), "K30"), "v30");
    EXPECT_FALSE(getJsonTextValue(R"(["a"])", "a")) << "a key without a value token";
}

// ---- null arguments ----------------------------------------------------------------------------

TEST(JsonMapNullArguments, WarnAndGiveTheEmptyAnswer) {
    LogCapture log;
    EXPECT_FALSE(BinarySearchTessarollJsonMap(nullptr, 0, 0, "a"));
    EXPECT_FALSE(getJsonMapValue(nullptr, "a"));
    EXPECT_FALSE(getJsonMapBool(nullptr, "a"));
    EXPECT_EQ(decodeJsonMapParameter(nullptr, "a", "raw*"), "raw*");
    EXPECT_NE(setJsonMapValue(nullptr, "a", "b"), 0);
    setJsonMapResult(nullptr, 0);
    EXPECT_FALSE(serializeJsonMap(nullptr));
    displayJsonMapParameters(nullptr);
    freeJsonMap(nullptr);
    std::size_t warnings = 0;
    for (const std::string& line : log.lines())
        if (line.find("[Warning] Parameter inputTessarollJson is null at ") != std::string::npos)
            ++warnings;
    EXPECT_EQ(warnings, 8u);
}

}  // namespace
