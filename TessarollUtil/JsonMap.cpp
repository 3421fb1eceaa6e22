#include "TessarollUtil/JsonMap.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "TessarollUtil/AesText.h"
#include "TessarollUtil/Log.h"
#include "TessarollUtil/RequestPath.h"
#include "TessarollUtil/Secure.h"
#include "TessarollUtil/Text.h"

// The tokenizer's functions stay private to this file (static), in its lenient mode: any
// unquoted run of characters is a primitive, and tokens carry no parent links.
#define JSMN_STATIC
#include <jsmn.h>

namespace {

constexpr unsigned kParseTokens = 1 + 2 * kJsonMapCapacity;  // one object and 128 pairs
constexpr unsigned kTextValueTokens = 64;
constexpr std::size_t kFlagKeyBuffer = 512;
constexpr std::size_t kFlagValueBuffer = 8;
constexpr std::string_view kShareSecretKey = "Tessaroll_share_secret";

// A parameter's companion flags: its key followed by one of these suffixes, which all begin
// with the same stem (a read checks for the stem before it looks up any of them).
constexpr std::string_view kFlagStem = "_Tessaroll";
constexpr std::string_view kEncryptFlag = "_TessarollEncryptFlag";
constexpr std::string_view kStarFlag = "_TessarollFlag";
constexpr std::string_view kSlashFlag = "_TessarollSlashFlag";
constexpr std::string_view kBase64Flag = "_TessarollBase64Flag";
constexpr std::string_view kHideFlag = "_TessarollHide";  // for the log only
constexpr std::size_t kLongestFlagSuffix =
    std::max({kEncryptFlag.size(), kStarFlag.size(), kSlashFlag.size(), kBase64Flag.size()});
static_assert(kEncryptFlag.starts_with(kFlagStem) && kStarFlag.starts_with(kFlagStem) &&
              kSlashFlag.starts_with(kFlagStem) && kBase64Flag.starts_with(kFlagStem));

// Compared as unsigned bytes, so that keys order the same on every platform.
TESSAROLL_REQUEST_PATH unsigned char foldCase(char c) {
    return static_cast<unsigned char>(asciiLower(c));
}

// Case-insensitive byte comparison (A-Z only), -1 / 0 / 1.
TESSAROLL_REQUEST_PATH int compareKeys(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = foldCase(a[i]);
        const unsigned char y = foldCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

// compareKeys of an entry's key and `key`, without measuring the entry's key first: every
// lookup compares a few of them.
TESSAROLL_REQUEST_PATH int compareEntryKey(const char* name, std::string_view key) {
    if (!name) return key.empty() ? 0 : -1;
    std::size_t i = 0;
    for (; i < key.size(); ++i) {
        if (name[i] == '\0') return -1;
        const unsigned char x = foldCase(name[i]);
        const unsigned char y = foldCase(key[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return name[i] == '\0' ? 0 : 1;
}

// Whether the C text `name` begins with `prefix`, ignoring case.
TESSAROLL_REQUEST_PATH bool startsWithIgnoringCase(const char* name, std::string_view prefix) {
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (name[i] == '\0' || foldCase(name[i]) != foldCase(prefix[i])) return false;
    return true;
}

std::string_view keyOf(const JsonMapEntry& entry) {
    return entry.key ? std::string_view(entry.key) : std::string_view();
}

// Entries in use, never more than the record holds.
TESSAROLL_REQUEST_PATH int usedEntries(const JsonMap* map) {
    return std::clamp<int>(map->count, 0, kJsonMapCapacity);
}

// A NUL-terminated copy from the C allocator (the map's strings may be freed by the other
// deliverable). Not calloc: every byte is written anyway, and malloc serves these small
// blocks from the thread's cache, where calloc goes to the arena for each one.
TESSAROLL_REQUEST_PATH char* heapCopy(std::string_view text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

// A JSON value turned back straight into its own block: no other block held it.
TESSAROLL_REQUEST_PATH char* unescapedHeapCopy(std::string_view text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy) return nullptr;
    copy[unescapeJsonTextInto(text, copy)] = '\0';
    return copy;
}

TESSAROLL_REQUEST_PATH void freeWiped(char*& text) {
    if (!text) return;
    secureWipe(text, std::strlen(text));
    std::free(text);
    text = nullptr;
}

TESSAROLL_REQUEST_PATH void sortEntries(JsonMap* map) {
    std::sort(map->entries, map->entries + usedEntries(map),
              [](const JsonMapEntry& a, const JsonMapEntry& b) {
                  return compareKeys(keyOf(a), keyOf(b)) < 0;
              });
}

TESSAROLL_REQUEST_PATH std::string_view tokenText(std::string_view text, const jsmntok_t& token) {
    if (token.start < 0 || token.end < token.start ||
        static_cast<std::size_t>(token.end) > text.size())
        return {};
    return text.substr(static_cast<std::size_t>(token.start),
                       static_cast<std::size_t>(token.end - token.start));
}

// Recursive binary search over entries [low, high]; null when the key is not there.
TESSAROLL_REQUEST_PATH const JsonMapEntry* findEntry(const JsonMap* map, int low, int high,
                                                     std::string_view key) {
    const int count = usedEntries(map);
    if (count == 0 || low < 0 || high >= count || low > high) return nullptr;
    const int mid = (low + high) >> 1;
    const JsonMapEntry& entry = map->entries[mid];
    const int order = compareEntryKey(entry.key, key);
    if (order == 0) return &entry;
    if (low >= high) return nullptr;
    if (order < 0) return mid + 1 < count ? findEntry(map, mid + 1, high, key) : nullptr;
    return mid - 1 >= 0 ? findEntry(map, low, mid - 1, key) : nullptr;
}

std::optional<std::string> lookup(const JsonMap* map, std::string_view key) {
    return BinarySearchTessarollJsonMap(map, 0, usedEntries(map) - 1, key);
}

// An entry's text value, else its binary value, where it lies; none for no entry.
TESSAROLL_REQUEST_PATH std::optional<std::string_view> valueOf(const JsonMapEntry* entry) {
    if (!entry) return std::nullopt;
    if (entry->value) return std::string_view(entry->value);
    if (entry->binaryValue && entry->binaryLength > 0)
        return std::string_view(reinterpret_cast<const char*>(entry->binaryValue),
                                entry->binaryLength);
    return std::nullopt;
}

// The stored value of a key, read in place: no copy of a value that may be a PIN.
TESSAROLL_REQUEST_PATH std::optional<std::string_view> rawValue(const JsonMap* map,
                                                                std::string_view key) {
    return valueOf(findEntry(map, 0, usedEntries(map) - 1, key));
}

// A companion flag is on when its raw value (its first 7 characters) is "true" in any case.
// The flag's key is the parameter's key and the suffix, cut to what a key buffer holds;
// built on the stack, as every parameter read looks up four of them.
bool flagIsTrue(const JsonMap* map, std::string_view key, std::string_view suffix) {
    char name[kFlagKeyBuffer];
    const std::size_t keyPart = std::min(key.size(), kFlagKeyBuffer - 1);
    const std::size_t suffixPart = std::min(suffix.size(), kFlagKeyBuffer - 1 - keyPart);
    std::memcpy(name, key.data(), keyPart);
    std::memcpy(name + keyPart, suffix.data(), suffixPart);
    const auto value = rawValue(map, std::string_view(name, keyPart + suffixPart));
    return value && equalsIgnoringCase(value->substr(0, kFlagValueBuffer - 1), "true");
}

// Whether the map holds any key of the parameter's key and the flag stem: a read whose key
// has none (most reads) skips the four lookups. Keys so long that a flag's name would be cut
// are looked up as before.
TESSAROLL_REQUEST_PATH bool mayHaveFlags(const JsonMap* map, std::string_view key) {
    if (key.size() + kLongestFlagSuffix >= kFlagKeyBuffer) return true;
    for (int i = 0; i < usedEntries(map); ++i) {
        const char* name = map->entries[i].key;
        if (name && startsWithIgnoringCase(name, key) &&
            startsWithIgnoringCase(name + key.size(), kFlagStem) &&
            name[key.size() + kFlagStem.size()] != '\0')
            return true;
    }
    return false;
}

std::optional<std::string> decryptParameter(const JsonMap* map, std::string_view hex) {
    const auto iv = parameterEncryptionIV();
    displayJsonMapParameters(map);
    writeNormalLog("find key: ", kShareSecretKey);
    auto secret = lookup(map, kShareSecretKey);
    if (!secret) return std::nullopt;
    std::optional<std::string> plain;
    if (secret->size() < 32) {
        writeWarningLogInt("Tessaroll_share_secret too short: ",
                           static_cast<int32_t>(secret->size()));
    } else {
        std::vector<unsigned char> cipher = hexToBytes(hex);
        auto decrypted = decryptAESCBC(
            cipher,
            std::span<const uint8_t, 32>(reinterpret_cast<const uint8_t*>(secret->data()), 32), iv);
        if (decrypted) plain = std::string(*decrypted);
    }
    secureWipe(*secret);
    return plain;
}

// replaceAll for a value that may be a PIN: the text is built in wiping storage, so the
// blocks it grows out of hold nothing, and handed out in a single copy.
std::string replaceInSecret(std::string_view text, std::string_view pattern,
                            std::string_view replacement) {
    SecretString out;
    for (std::size_t position = 0;;) {
        const std::size_t found = text.find(pattern, position);
        out.append(text.substr(position, found - position));
        if (found == std::string_view::npos) break;
        out.append(replacement);
        position = found + pattern.size();
    }
    return std::string(out.view());
}

}  // namespace

void JsonMapDeleter::operator()(JsonMap* map) const noexcept {
    freeJsonMap(map);
}

namespace {

std::atomic<bool> reuseRecords{false};

// Only touched once reuse is on, so a thread of a program without it registers nothing.
// Two: a request's map and its answer's are alive together.
struct FreedRecords {
    JsonMap* maps[2] = {};  // all zero where set
    ~FreedRecords() {
        for (JsonMap* map : maps) std::free(map);
    }
};
thread_local FreedRecords freedRecords;

}  // namespace

void reuseFreedJsonMaps() {
    reuseRecords.store(true, std::memory_order_relaxed);
}

TESSAROLL_REQUEST_PATH JsonMapPtr newJsonMap() {
    if (reuseRecords.load(std::memory_order_relaxed))
        for (JsonMap*& kept : freedRecords.maps)
            if (kept) return JsonMapPtr(std::exchange(kept, nullptr));
    JsonMapPtr map(static_cast<JsonMap*>(std::calloc(1, sizeof(JsonMap))));
    if (!map) TESSAROLL_ALLOCATION_FAILURE();
    return map;
}

JsonMapPtr parseJsonMap(const char* inputJsonStr) {
    if (!inputJsonStr) {
        TESSAROLL_NULL_PARAMETER("inputJsonStr");
        return nullptr;
    }
    return parseJsonMap(std::string_view(inputJsonStr));
}

TESSAROLL_REQUEST_PATH JsonMapPtr parseJsonMap(std::string_view inputJsonStr) {
    jsmn_parser parser;
    jsmn_init(&parser);
    std::array<jsmntok_t, kParseTokens> tokens;
    const int r =
        jsmn_parse(&parser, inputJsonStr.data(), inputJsonStr.size(), tokens.data(), kParseTokens);
    if (r < 2) {
        writeErrorLog("jsmn parse error", "");
        // Only its length: a text that does not parse cannot be told apart into keys and
        // values, so no mask could be sure to cover the PINs and secrets in it.
        writeErrorLog("Error json: ", std::to_string(inputJsonStr.size()) + " bytes");
        return nullptr;
    }
    JsonMapPtr map = newJsonMap();
    if (!map) return nullptr;

    // Pairs are taken from the end: (r-2, r-1), (r-4, r-3), ... while the key index is above 0.
    for (int k = r - 2; k > 0 && map->count < kJsonMapCapacity; k -= 2) {
        JsonMapEntry& entry = map->entries[map->count];
        entry.key = heapCopy(tokenText(inputJsonStr, tokens[static_cast<std::size_t>(k)]));
        if (!entry.key) {
            TESSAROLL_ALLOCATION_FAILURE();
            return map;
        }
        entry.value =
            unescapedHeapCopy(tokenText(inputJsonStr, tokens[static_cast<std::size_t>(k) + 1]));
        if (!entry.value) {
            std::free(entry.key);
            entry.key = nullptr;
            TESSAROLL_ALLOCATION_FAILURE();
            return map;
        }
        ++map->count;
    }
    sortEntries(map.get());
    map->jsonText = heapCopy(inputJsonStr);
    if (!map->jsonText) TESSAROLL_ALLOCATION_FAILURE();
    return map;
}

TESSAROLL_REQUEST_PATH void freeJsonMap(JsonMap* inputTessarollJson) {
    if (!inputTessarollJson) return;
    const int used = usedEntries(inputTessarollJson);
    for (int i = 0; i < used; ++i) {
        JsonMapEntry& entry = inputTessarollJson->entries[i];
        std::free(entry.key);
        entry.key = nullptr;
        freeWiped(entry.value);
    }
    freeWiped(inputTessarollJson->jsonText);
    if (reuseRecords.load(std::memory_order_relaxed)) {
        for (JsonMap*& slot : freedRecords.maps) {
            if (slot) continue;
            // Entries past the count were never written: zeroing the used ones zeroes the
            // whole table.
            std::memset(inputTessarollJson->entries, 0,
                        sizeof(JsonMapEntry) * static_cast<std::size_t>(used));
            inputTessarollJson->count = 0;
            slot = inputTessarollJson;
            return;
        }
    }
    std::free(inputTessarollJson);
}

int compareJsonMapEntries(const JsonMapEntry* inputA, const JsonMapEntry* inputB) {
    if (!inputA) {
        TESSAROLL_NULL_PARAMETER("inputA");
        return 100;
    }
    if (!inputB) {
        TESSAROLL_NULL_PARAMETER("inputB");
        return 100;
    }
    return compareKeys(keyOf(*inputA), keyOf(*inputB));
}

std::optional<std::string> BinarySearchTessarollJsonMap(const JsonMap* inputTessarollJson, int low,
                                                        int high, std::string_view inputKey) {
    if (!inputTessarollJson) {
        TESSAROLL_NULL_PARAMETER("inputTessarollJson");
        return std::nullopt;
    }
    const std::optional<std::string_view> value =
        valueOf(findEntry(inputTessarollJson, low, high, inputKey));
    if (!value) return std::nullopt;
    return std::string(*value);
}

bool jsonMapHasKey(const JsonMap* inputTessarollJson, std::string_view inputKey) {
    return inputTessarollJson &&
           findEntry(inputTessarollJson, 0, usedEntries(inputTessarollJson) - 1, inputKey);
}

std::optional<std::string> getJsonMapValue(const JsonMap* inputTessarollJson,
                                           std::string_view inputKey) {
    if (!inputTessarollJson) {
        TESSAROLL_NULL_PARAMETER("inputTessarollJson");
        return std::nullopt;
    }
    const auto raw = rawValue(inputTessarollJson, inputKey);
    if (!raw) return std::nullopt;
    return decodeJsonMapParameter(inputTessarollJson, inputKey, *raw);
}

TESSAROLL_REQUEST_PATH std::optional<std::string_view> plainJsonMapValue(
    const JsonMap* inputTessarollJson, std::string_view inputKey) {
    if (!inputTessarollJson || mayHaveFlags(inputTessarollJson, inputKey)) return std::nullopt;
    return rawValue(inputTessarollJson, inputKey);
}

bool getJsonMapBool(const JsonMap* inputTessarollJson, std::string_view inputKey) {
    if (!inputTessarollJson) {
        TESSAROLL_NULL_PARAMETER("inputTessarollJson");
        return false;
    }
    const auto value = getJsonMapValue(inputTessarollJson, inputKey);
    return value && equalsIgnoringCase(*value, "true");
}

std::string decodeJsonMapParameter(const JsonMap* inputTessarollJson, std::string_view inputKey,
                                   std::string_view inputValue) {
    if (!inputTessarollJson) {
        TESSAROLL_NULL_PARAMETER("inputTessarollJson");
        return std::string(inputValue);
    }
    if (!mayHaveFlags(inputTessarollJson, inputKey)) return std::string(inputValue);
    if (flagIsTrue(inputTessarollJson, inputKey, kEncryptFlag)) {
        if (auto plain = decryptParameter(inputTessarollJson, inputValue)) return std::move(*plain);
        TESSAROLL_ALLOCATION_FAILURE();
        return std::string(inputValue);
    }
    if (flagIsTrue(inputTessarollJson, inputKey, kStarFlag))
        return replaceInSecret(inputValue, "*", "\\");
    if (flagIsTrue(inputTessarollJson, inputKey, kSlashFlag))
        return replaceInSecret(inputValue, "==TessarollSlash==", "\\");
    if (flagIsTrue(inputTessarollJson, inputKey, kBase64Flag)) return urlBase64Decode(inputValue);
    return std::string(inputValue);
}

int setJsonMapValue(JsonMap* inputTessarollJson, std::string_view Key,
                    std::optional<std::string_view> value) {
    if (!inputTessarollJson) {
        TESSAROLL_NULL_PARAMETER("inputTessarollJson");
        return -1;
    }
    char* copy = nullptr;
    if (value) {
        copy = heapCopy(*value);
        if (!copy) {
            TESSAROLL_ALLOCATION_FAILURE();
            return -1;
        }
    }
    const int count = usedEntries(inputTessarollJson);
    for (int i = 0; i < count; ++i) {
        JsonMapEntry& entry = inputTessarollJson->entries[i];
        if (equalsIgnoringCase(keyOf(entry), Key)) {
            freeWiped(entry.value);
            entry.value = copy;
            return 0;
        }
    }
    if (count >= kJsonMapCapacity) {
        // The record has no room for a 129th key: refuse it rather than write past the table.
        writeWarningLog("Json map full, key not added: ", Key);
        freeWiped(copy);
        return -1;
    }
    char* key = heapCopy(Key);
    if (!key) {
        TESSAROLL_ALLOCATION_FAILURE();
        freeWiped(copy);
        return -1;
    }
    JsonMapEntry* entries = inputTessarollJson->entries;
    entries[count] = JsonMapEntry{key, copy, nullptr, 0};
    inputTessarollJson->count = count + 1;
    // The table is kept sorted, and no key equals this one: it moves down to its place.
    for (int i = count; i > 0 && compareKeys(keyOf(entries[i - 1]), Key) > 0; --i)
        std::swap(entries[i - 1], entries[i]);
    return 0;
}

void setJsonMapResult(JsonMap* inputTessarollJson, int code) {
    setJsonMapValue(inputTessarollJson, "result", std::to_string(code));
}

std::optional<std::string> serializeJsonMap(const JsonMap* inputTessarollJson) {
    if (!inputTessarollJson) {
        TESSAROLL_NULL_PARAMETER("inputTessarollJson");
        return std::nullopt;
    }
    // Sized in advance and encoded in place: the answer may carry secrets, and a text that
    // grows leaves copies of them in the blocks it grew out of.
    const int count = usedEntries(inputTessarollJson);
    std::size_t size = 2;
    for (int i = 0; i < count; ++i) {
        const JsonMapEntry& entry = inputTessarollJson->entries[i];
        if (entry.value) size += keyOf(entry).size() + base64Length(std::strlen(entry.value)) + 8;
    }
    try {
        std::string out;
        out.reserve(size);
        out += '{';
        bool first = true;
        for (int i = 0; i < count; ++i) {
            const JsonMapEntry& entry = inputTessarollJson->entries[i];
            if (!entry.value) continue;
            if (!first) out += ", ";
            first = false;
            out += '"';
            out += keyOf(entry);
            out += "\": \"";
            appendBase64(out, entry.value);
            out += '"';
        }
        out += '}';
        return out;
    } catch (const std::bad_alloc&) {
        TESSAROLL_ALLOCATION_FAILURE();
        return std::nullopt;
    }
}

namespace {

void displayParameters(const JsonMap* inputTessarollJson) {
    if (!inputTessarollJson) {
        TESSAROLL_NULL_PARAMETER("inputTessarollJson");
        return;
    }
    writeNormalLog("= DISPLAY PARAMETER", " ===== start =====");
    try {
        for (int i = 0; i < usedEntries(inputTessarollJson); ++i) {
            const JsonMapEntry& entry = inputTessarollJson->entries[i];
            const std::string label = std::string(keyOf(entry)) + ": ";
            const std::string lower = toLowerString(label);
            const auto has = [&lower](std::string_view part) {
                return lower.find(part) != std::string::npos;
            };
            std::string shown;
            if (entry.value) {
                const std::string_view value(entry.value);
                // The hide flag is a companion key: read raw, so display never decodes (and
                // never decrypts, which would display again). The shared secret is the key of
                // every encrypted parameter beside it.
                const bool masked = equalsIgnoringCase(keyOf(entry), kShareSecretKey) ||
                                    (!has("tessaroll") &&
                                     (has("pin") || has("pw") || has("pass") ||
                                      flagIsTrue(inputTessarollJson, keyOf(entry), kHideFlag)));
                shown = masked ? std::string(value.size(), '*') : std::string(value);
            } else if (entry.binaryValue) {
                shown = "[binary_value]";
            } else {
                shown = "[empty]";
            }
            writeNormalLog(label, shown);
            secureWipe(shown);
        }
    } catch (const std::bad_alloc&) {
        TESSAROLL_ALLOCATION_FAILURE();
    }
    writeNormalLog("= DISPLAY PARAMETER", " ===== end =====");
}

}  // namespace

TESSAROLL_REQUEST_PATH void displayJsonMapParameters(const JsonMap* inputTessarollJson) {
    if (isLogOn()) displayParameters(inputTessarollJson);
}

std::optional<std::string> getJsonTextValue(std::string_view inputJSONObj, std::string_view key) {
    // A parser of its own per call, so callers on different threads never share one.
    jsmn_parser parser;
    jsmn_init(&parser);
    jsmntok_t tokens[kTextValueTokens];
    const int r =
        jsmn_parse(&parser, inputJSONObj.data(), inputJSONObj.size(), tokens, kTextValueTokens);
    if (r < 2) return std::nullopt;
    const std::string wanted = toLowerString(key);
    for (int i = 1; i + 1 < r; i += 2) {
        const std::string_view name = tokenText(inputJSONObj, tokens[i]);
        if (name.empty() || toLowerString(name) != wanted) continue;
        const std::string_view value = tokenText(inputJSONObj, tokens[i + 1]);
        if (value.empty()) return std::nullopt;
        return replaceAll(value, "\\\"", "\"");
    }
    return std::nullopt;
}

std::array<unsigned char, 16> parameterEncryptionIV() {
    // Built at run time from four words: the ASCII bytes "TessarollParamIV".
    static constexpr uint32_t kWords[4] = {0x54657373, 0x61726F6C, 0x6C506172, 0x616D4956};
    std::array<unsigned char, 16> iv{};
    for (std::size_t w = 0; w < 4; ++w)
        for (std::size_t b = 0; b < 4; ++b)
            iv[4 * w + b] = static_cast<unsigned char>(kWords[w] >> (24 - 8 * b));
    return iv;
}
