#include "TessarollUtil/Adapter.h"

#include <algorithm>

#include "TessarollUtil/Log.h"

namespace {

// Function names are ASCII; the locale's tolower would cost a library call per character,
// and a new session's adapter compares names several thousand times while it builds its table.
unsigned char lower(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

int compareNames(std::string_view a, std::string_view b) {
    std::size_t shorter = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < shorter; ++i) {
        unsigned char x = lower(a[i]), y = lower(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace

bool adapterFunctionNamesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && compareNames(a, b) == 0;
}

void registerAdapterFunction(AdapterFunctionTable* inputAdapterMap, AdapterFunction handler,
                             const char* inputFunctionName) {
    if (!inputAdapterMap) {
        TESSAROLL_NULL_PARAMETER("inputAdapterMap");
        return;
    }
    if (!inputFunctionName) {
        TESSAROLL_NULL_PARAMETER("inputFunctionName");
        return;
    }
    std::string name(std::string_view(inputFunctionName).substr(0, kAdapterFunctionNameLimit - 1));
    for (int32_t i = 0; i < inputAdapterMap->count; ++i) {
        if (adapterFunctionNamesEqual(inputAdapterMap->entries[std::size_t(i)].name, name)) {
            writeWarningLog("Function name already exist: ", name);
            return;
        }
    }
    if (inputAdapterMap->count >= kAdapterFunctionTableCapacity) {
        writeWarningLog("Adapter function table full: ", name);
        return;
    }
    AdapterFunctionEntry& entry = inputAdapterMap->entries[std::size_t(inputAdapterMap->count)];
    entry.name = std::move(name);
    entry.handler = handler;
    ++inputAdapterMap->count;
    writeNormalLog("Enable adapter func: ", entry.name);
}

int compareAdapterFunctionNames(const AdapterFunctionEntry* inputA,
                                const AdapterFunctionEntry* inputB) {
    if (!inputA) {
        TESSAROLL_NULL_PARAMETER("inputA");
        return 100;
    }
    if (!inputB) {
        TESSAROLL_NULL_PARAMETER("inputB");
        return 100;
    }
    return compareNames(inputA->name, inputB->name);
}

AdapterFunction BinarySearchTessarollAdapterMap(const AdapterFunctionTable* inputA,
                                                const char* inputB, int low, int high) {
    if (!inputA) {
        TESSAROLL_NULL_PARAMETER("inputA");
        return nullptr;
    }
    if (!inputB) {
        TESSAROLL_NULL_PARAMETER("inputB");
        return nullptr;
    }
    // The recursion of the search, unrolled; a range outside the used entries (an empty
    // table searched over (0, -1)) ends it instead of reading past the table.
    for (;;) {
        int mid = (low + high) >> 1;  // rounded down, also for a negative sum
        if (mid < 0 || mid >= inputA->count) return nullptr;
        const AdapterFunctionEntry& entry = inputA->entries[std::size_t(mid)];
        if (adapterFunctionNamesEqual(entry.name, inputB)) return entry.handler;
        if (low >= high) return nullptr;
        AdapterFunctionEntry wanted;
        wanted.name = std::string(std::string_view(inputB).substr(0, 126));
        int order = compareAdapterFunctionNames(&entry, &wanted);
        if (order == -1) {
            if (mid + 1 >= inputA->count) return nullptr;
            low = mid + 1;
        } else if (order == 1) {
            if (low + high < 2) return nullptr;
            high = mid - 1;
        } else {
            writeWarningLog("BinarySearchTessarollAdapterMap Compare_Same!", "");
            return nullptr;
        }
    }
}
