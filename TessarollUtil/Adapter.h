// The adapter's function table: handlers registered by name, sorted without regard to case,
// and found again by a binary search.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "TessarollUtil/JsonMap.h"

// A handler's answer text; nothing answers an empty text.
using AdapterAnswer = std::optional<std::string>;
// A handler reads the request map (never changes or frees it) and returns its answer.
using AdapterFunction = AdapterAnswer (*)(const JsonMap* map);

inline constexpr std::size_t kAdapterFunctionNameLimit = 128;  // names keep at most 127 characters
inline constexpr int32_t kAdapterFunctionTableCapacity = 1024;

struct AdapterFunctionEntry {
    std::string name;
    AdapterFunction handler = nullptr;
};

struct AdapterFunctionTable {
    std::array<AdapterFunctionEntry, kAdapterFunctionTableCapacity> entries;
    int32_t count = 0;
};

// Appends a handler under name unless a name equal without regard to case is already there
// ("Function name already exist: ") or the table is full. Null table or name: a warning.
void registerAdapterFunction(AdapterFunctionTable* inputAdapterMap, AdapterFunction handler,
                             const char* inputFunctionName);

// Sort order of the table: -1, 0 or 1 by the lower-cased characters, a shorter name first
// when one is the other's beginning; 100 when either entry is null.
int compareAdapterFunctionNames(const AdapterFunctionEntry* inputA,
                                const AdapterFunctionEntry* inputB);

// Binary search of the sorted entries [low, high] for name, compared without regard to case.
// The handler, or null.
AdapterFunction BinarySearchTessarollAdapterMap(const AdapterFunctionTable* inputA,
                                                const char* inputB, int low, int high);

// Names equal without regard to case (ASCII).
bool adapterFunctionNamesEqual(std::string_view a, std::string_view b);
