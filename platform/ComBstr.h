// A reference-counted holder of one BSTR with a cached UTF-8 copy. Copying a holder shares
// the string and adds a reference; the last holder to go frees the BSTR and the copy. An
// empty holder holds a null BSTR, which is not the same as a zero-length one.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Com.h"

class TESSAROLL_COM_API _bstr_t {
public:
    _bstr_t() noexcept = default;
    // Copies of the text (UTF-8 or UTF-16). A null pointer gives an empty holder. A failed
    // allocation raises _com_error(E_OUTOFMEMORY).
    _bstr_t(const char* utf8);
    _bstr_t(std::string_view utf8);
    _bstr_t(const OLECHAR* text);
    // copy == true duplicates text; false takes ownership of it (the holder frees it).
    _bstr_t(BSTR text, bool copy);
    _bstr_t(const _bstr_t& other) noexcept;
    _bstr_t(_bstr_t&& other) noexcept;
    _bstr_t& operator=(const _bstr_t& other) noexcept;
    _bstr_t& operator=(_bstr_t&& other) noexcept;
    _bstr_t& operator=(const char* utf8);
    ~_bstr_t();

    // The held BSTR (null when empty); it stays owned by the holder.
    BSTR GetBSTR() const noexcept;
    operator BSTR() const noexcept { return GetBSTR(); }
    // The UTF-8 copy, made on first use; null when the holder is empty.
    const char* c_str() const;
    operator const char*() const { return c_str(); }
    // Characters; 0 when empty.
    uint32_t length() const noexcept { return SysStringLen(GetBSTR()); }
    bool isNull() const noexcept { return GetBSTR() == nullptr; }
    // A new BSTR with the same text for the caller to free (null when empty).
    BSTR copy() const;

    // Frees the current string (this holder's reference) and hands out the address of a
    // fresh null BSTR owned by this holder, for an output parameter. An empty holder first
    // gets a record of its own.
    BSTR& GetAddress();
    // Takes ownership of text, releasing what was held.
    void Attach(BSTR text);
    // Gives up the string: the caller owns it afterwards; the holder becomes empty.
    BSTR Detach();

private:
    struct Data {
        BSTR text = nullptr;
        mutable char* utf8 = nullptr;
        mutable uint32_t utf8Length = 0;
        std::atomic<uint32_t> references{1};
        ~Data();
    };
    static Data* makeData(BSTR text);
    void release() noexcept;

    Data* data_ = nullptr;
};
