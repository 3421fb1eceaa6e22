#include "platform/ComBstr.h"

#include <cstdlib>
#include <cstring>

#include "platform/Encoding.h"

_bstr_t::Data::~Data() {
    SysFreeString(text);
    std::free(utf8);
}

_bstr_t::Data* _bstr_t::makeData(BSTR text) {
    auto* data = new (std::nothrow) Data;
    if (!data) {
        SysFreeString(text);
        _com_issue_error(E_OUTOFMEMORY);
    }
    data->text = text;
    return data;
}

_bstr_t::_bstr_t(const char* utf8) {
    if (utf8) *this = _bstr_t(std::string_view(utf8));
}

_bstr_t::_bstr_t(std::string_view utf8) {
    std::u16string wide = utf8ToUtf16(utf8);
    BSTR text = SysAllocStringLen(wide.data(), uint32_t(wide.size()));
    if (!text) _com_issue_error(E_OUTOFMEMORY);
    data_ = makeData(text);
}

_bstr_t::_bstr_t(const OLECHAR* text) {
    if (!text) return;
    BSTR copy = SysAllocString(text);
    if (!copy) _com_issue_error(E_OUTOFMEMORY);
    data_ = makeData(copy);
}

_bstr_t::_bstr_t(BSTR text, bool copy) {
    if (copy && text) {
        BSTR duplicate = SysAllocStringLen(text, SysStringLen(text));
        if (!duplicate) _com_issue_error(E_OUTOFMEMORY);
        text = duplicate;
    }
    if (text || !copy) data_ = makeData(text);
}

_bstr_t::_bstr_t(const _bstr_t& other) noexcept : data_(other.data_) {
    if (data_) data_->references.fetch_add(1, std::memory_order_relaxed);
}

_bstr_t::_bstr_t(_bstr_t&& other) noexcept : data_(other.data_) {
    other.data_ = nullptr;
}

_bstr_t& _bstr_t::operator=(const _bstr_t& other) noexcept {
    if (data_ != other.data_) {
        if (other.data_) other.data_->references.fetch_add(1, std::memory_order_relaxed);
        release();
        data_ = other.data_;
    }
    return *this;
}

_bstr_t& _bstr_t::operator=(_bstr_t&& other) noexcept {
    if (this != &other) {
        release();
        data_ = other.data_;
        other.data_ = nullptr;
    }
    return *this;
}

_bstr_t& _bstr_t::operator=(const char* utf8) {
    *this = _bstr_t(utf8);
    return *this;
}

_bstr_t::~_bstr_t() {
    release();
}

void _bstr_t::release() noexcept {
    if (data_ && data_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete data_;
    data_ = nullptr;
}

BSTR _bstr_t::GetBSTR() const noexcept {
    return data_ ? data_->text : nullptr;
}

const char* _bstr_t::c_str() const {
    if (!data_ || !data_->text) return nullptr;
    if (!data_->utf8) {
        std::string utf8 = utf16ToUtf8(std::u16string_view(data_->text, SysStringLen(data_->text)));
        auto* copy = static_cast<char*>(std::malloc(utf8.size() + 1));
        if (!copy) _com_issue_error(E_OUTOFMEMORY);
        std::memcpy(copy, utf8.c_str(), utf8.size() + 1);
        data_->utf8 = copy;
        data_->utf8Length = uint32_t(utf8.size());
    }
    return data_->utf8;
}

BSTR _bstr_t::copy() const {
    BSTR text = GetBSTR();
    if (!text) return nullptr;
    BSTR duplicate = SysAllocStringLen(text, SysStringLen(text));
    if (!duplicate) _com_issue_error(E_OUTOFMEMORY);
    return duplicate;
}

BSTR& _bstr_t::GetAddress() {
    release();
    data_ = makeData(nullptr);
    return data_->text;
}

void _bstr_t::Attach(BSTR text) {
    release();
    data_ = makeData(text);
}

BSTR _bstr_t::Detach() {
    if (!data_) return nullptr;
    BSTR text = data_->text;
    if (data_->references.load(std::memory_order_acquire) == 1) {
        data_->text = nullptr;
        release();
        return text;
    }
    // Shared with other holders: they keep theirs, the caller gets a copy.
    BSTR duplicate = copy();
    release();
    return duplicate;
}
