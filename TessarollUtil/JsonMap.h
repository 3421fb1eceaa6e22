// The request and answer record of the whole system: at most 128 key/value pairs kept
// sorted by key without regard to letter case.
//
// The record crosses from the service into the adapter plug-in (callJsonMapMethod), so it
// is plain C layout with native pointers, and both sides must agree on every offset: the
// static_asserts below pin them. All strings in it, and the record itself, come from the C
// allocator and belong to the map; freeJsonMap releases them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

extern "C" {

struct JsonMapEntry {
    char* key;                   // the key as it stood in the JSON text (not unescaped)
    char* value;                 // NUL-terminated text value, or null
    unsigned char* binaryValue;  // binary value, or null (never written by the map code)
    uint32_t binaryLength;       // bytes at binaryValue
};

inline constexpr int kJsonMapCapacity = 128;

struct JsonMap {
    JsonMapEntry entries[kJsonMapCapacity];  // [0, count) in use, sorted by key
    char* jsonText;                          // copy of the text the map was parsed from, or null
    int32_t count;                           // entries in use, 0 to 128
};

}  // extern "C"

static_assert(sizeof(void*) == 8, "the JsonMap layout below is the 64-bit one");
static_assert(offsetof(JsonMapEntry, key) == 0);
static_assert(offsetof(JsonMapEntry, value) == 8);
static_assert(offsetof(JsonMapEntry, binaryValue) == 16);
static_assert(offsetof(JsonMapEntry, binaryLength) == 24);
static_assert(sizeof(JsonMapEntry) == 32);
static_assert(offsetof(JsonMap, entries) == 0);
static_assert(offsetof(JsonMap, jsonText) == 4096);
static_assert(offsetof(JsonMap, count) == 4104);
static_assert(sizeof(JsonMap) == 4112);
static_assert(alignof(JsonMap) == 8);

// Frees a map with freeJsonMap.
struct JsonMapDeleter {
    void operator()(JsonMap* map) const noexcept;
};
using JsonMapPtr = std::unique_ptr<JsonMap, JsonMapDeleter>;

// A zeroed, empty map (count 0); null when the allocation fails (logged).
JsonMapPtr newJsonMap();

// From now on each thread keeps the last two records it freed (a request's and its
// answer's), zeroed, for its next newJsonMaps, instead of handing 4 KB blocks back to the
// allocator and asking for them again with every request and answer. For the service only:
// a loaded adapter copy must leave no block behind when it is unloaded.
void reuseFreedJsonMaps();

// Parses a flat JSON object. Null on a null text, on a tokenizer error, on an empty object
// or on more than 128 pairs ("jsmn parse error", "Error json: " and the text's length).
JsonMapPtr parseJsonMap(const char* inputJsonStr);
JsonMapPtr parseJsonMap(std::string_view inputJsonStr);

// Frees every used entry's key and value, the kept text and the record (or keeps it for
// reuse, see reuseFreedJsonMaps). Null: nothing.
void freeJsonMap(JsonMap* inputTessarollJson);

// -1, 0, 1 by case-insensitive byte comparison of the keys; 100 when either is null.
int compareJsonMapEntries(const JsonMapEntry* inputA, const JsonMapEntry* inputB);

// Recursive binary search over entries [low, high]. The entry's raw text value, else its
// binary bytes (binaryLength of them), else nothing.
std::optional<std::string> BinarySearchTessarollJsonMap(const JsonMap* inputTessarollJson, int low,
                                                        int high, std::string_view inputKey);

// Whether the map has an entry for the key (compared as the search compares), with or
// without a value. False for a null map.
bool jsonMapHasKey(const JsonMap* inputTessarollJson, std::string_view inputKey);

// The value of a key with its companion flags applied (see decodeJsonMapParameter).
std::optional<std::string> getJsonMapValue(const JsonMap* inputTessarollJson,
                                           std::string_view inputKey);

// The value of a key where it lies in the map, when no companion flag can apply to it;
// nothing otherwise (absent keys too), where getJsonMapValue gives the value. The view
// lasts as long as the entry.
std::optional<std::string_view> plainJsonMapValue(const JsonMap* inputTessarollJson,
                                                  std::string_view inputKey);

// True when the decoded value equals "true" ignoring case; false for a missing key.
bool getJsonMapBool(const JsonMap* inputTessarollJson, std::string_view inputKey);

// Applies the first true companion flag of the key, in this order:
//   "<key>_TessarollEncryptFlag"  hex of AES-256-CBC ciphertext, key "Tessaroll_share_secret"
//   "<key>_TessarollFlag"         every "*" becomes a backslash
//   "<key>_TessarollSlashFlag"    every "==TessarollSlash==" becomes a backslash
//   "<key>_TessarollBase64Flag"   URL-escaped Base64
// A value that cannot be decoded comes back raw. Null map: the raw value.
std::string decodeJsonMapParameter(const JsonMap* inputTessarollJson, std::string_view inputKey,
                                   std::string_view inputValue);

// Replaces the value of an existing key (keeping its stored spelling) or appends the pair
// and sorts again. A null value stores an entry without text. Returns 0; -1 when the map is
// null, already holds 128 other keys, or an allocation fails (the map is then unchanged).
int setJsonMapValue(JsonMap* inputTessarollJson, std::string_view Key,
                    std::optional<std::string_view> value);

// Sets "result" to the code in decimal.
void setJsonMapResult(JsonMap* inputTessarollJson, int code);

// {"key": "<Base64 of value>", ...} in sorted order; entries without text are skipped.
// Nothing for a null map.
std::optional<std::string> serializeJsonMap(const JsonMap* inputTessarollJson);

// Writes the map to the log (when logging is on) with PINs, passwords, hidden values and
// the shared secret of encrypted parameters masked.
void displayJsonMapParameters(const JsonMap* inputTessarollJson);

// One value straight out of a JSON text, without a map: the key is matched ignoring case,
// \" in the value becomes ". Nothing when absent or empty.
std::optional<std::string> getJsonTextValue(std::string_view inputJSONObj, std::string_view key);

// The fixed IV of "<key>_TessarollEncryptFlag" parameters, shared with the pages that
// encrypt them (documented in the README).
std::array<unsigned char, 16> parameterEncryptionIV();
