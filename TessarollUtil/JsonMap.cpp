#include "TessarollUtil/JsonMap.h"

#include <cstdlib>

std::atomic<bool> jsonKeyCheckEnabled{false};
std::atomic<int32_t> jsonKeyCheckError{0};

void JsonMapDeleter::operator()(JsonMap* map) const noexcept { freeJsonMap(map); }

JsonMapPtr newJsonMap() { return JsonMapPtr(static_cast<JsonMap*>(std::calloc(1, sizeof(JsonMap)))); }

JsonMapPtr parseJsonMap(const char* inputJsonStr) {
    if (!inputJsonStr) return nullptr;
    return parseJsonMap(std::string_view(inputJsonStr));
}

JsonMapPtr parseJsonMap(std::string_view) { return nullptr; }

void freeJsonMap(JsonMap* inputTessarollJson) {
    if (!inputTessarollJson) return;
    std::free(inputTessarollJson);
}

int compareJsonMapEntries(const JsonMapEntry*, const JsonMapEntry*) { return 100; }

std::optional<std::string> BinarySearchTessarollJsonMap(const JsonMap*, int, int, std::string_view) {
    return std::nullopt;
}

std::optional<std::string> getJsonMapValue(const JsonMap*, std::string_view) { return std::nullopt; }

bool getJsonMapBool(const JsonMap*, std::string_view) { return false; }

std::string decodeJsonMapParameter(const JsonMap*, std::string_view, std::string_view inputValue) {
    return std::string(inputValue);
}

int setJsonMapValue(JsonMap*, std::string_view, std::optional<std::string_view>) { return -1; }

void setJsonMapResult(JsonMap*, int) {}

std::optional<std::string> serializeJsonMap(const JsonMap*) { return std::nullopt; }

void displayJsonMapParameters(const JsonMap*) {}

std::optional<std::string> getJsonTextValue(std::string_view, std::string_view) { return std::nullopt; }

std::array<unsigned char, 16> parameterEncryptionIV() { return {}; }
