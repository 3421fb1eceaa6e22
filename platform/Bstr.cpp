#include "platform/Bstr.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct FreeObserver {
    BstrFreeObserver function;
    void* context;
};

std::atomic<const FreeObserver*> freeObserver{nullptr};

unsigned char* blockOf(BSTR text) {
    return reinterpret_cast<unsigned char*>(text) - sizeof(uint32_t);
}

BSTR allocateBytes(const void* bytes, uint32_t byteLength) {
    if (byteLength > 0x7FFFFFF0u) return nullptr;
    // Length prefix, the text, and a two-byte terminator (an odd byte length still ends in zeros).
    std::size_t size = sizeof(uint32_t) + std::size_t(byteLength) + 2 * sizeof(OLECHAR);
    auto* block = static_cast<unsigned char*>(std::calloc(1, size));
    if (!block) return nullptr;
    std::memcpy(block, &byteLength, sizeof byteLength);
    if (bytes) std::memcpy(block + sizeof(uint32_t), bytes, byteLength);
    return reinterpret_cast<BSTR>(block + sizeof(uint32_t));
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) {
    if (length > 0x7FFFFFF0u / sizeof(OLECHAR)) return nullptr;
    return allocateBytes(text, length * uint32_t(sizeof(OLECHAR)));
}

BSTR SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    uint32_t n = 0;
    while (text[n]) ++n;
    return SysAllocStringLen(text, n);
}

BSTR SysAllocStringByteLen(const char* bytes, uint32_t byteLength) {
    return allocateBytes(bytes, byteLength);
}

uint32_t SysStringByteLen(BSTR text) {
    if (!text) return 0;
    uint32_t byteLength;
    std::memcpy(&byteLength, blockOf(text), sizeof byteLength);
    return byteLength;
}

uint32_t SysStringLen(BSTR text) {
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

void SysFreeString(BSTR text) {
    if (!text) return;
    if (const FreeObserver* observer = freeObserver.load(std::memory_order_acquire))
        observer->function(text, SysStringByteLen(text), observer->context);
    std::free(blockOf(text));
}

void setBstrFreeObserver(BstrFreeObserver observer, void* context) {
    // A replaced record is kept, not freed: a free running on another thread may still be
    // reading it. Observers are set by tests a handful of times.
    static std::mutex lock;
    static std::vector<std::unique_ptr<FreeObserver>> records;
    std::lock_guard guard(lock);
    const FreeObserver* record = nullptr;
    if (observer) {
        records.push_back(std::make_unique<FreeObserver>(FreeObserver{observer, context}));
        record = records.back().get();
    }
    freeObserver.store(record, std::memory_order_release);
}
