#include "platform/ComBstr.h"

#include <cstdlib>
#include <cstring>

std::u16string comUtf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t code = 0xFFFD;
        std::size_t extra = 0;
        if (c < 0x80) {
            code = c;
        } else if ((c & 0xE0) == 0xC0) {
            code = c & 0x1F, extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            code = c & 0x0F, extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            code = c & 0x07, extra = 3;
        } else {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        std::size_t next = i + 1;
        bool valid = next + extra <= text.size();
        for (std::size_t k = 0; valid && k < extra; ++k) {
            unsigned char follow = static_cast<unsigned char>(text[next + k]);
            if ((follow & 0xC0) != 0x80) valid = false;
            else code = code << 6 | (follow & 0x3F);
        }
        static constexpr uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (!valid || code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(char16_t(0xD800 | (code >> 10)));
            out.push_back(char16_t(0xDC00 | (code & 0x3FF)));
        } else {
            out.push_back(char16_t(code));
        }
        i = next + extra;
    }
    return out;
}

std::string comUtf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out.push_back(char(code));
        } else if (code < 0x800) {
            out.push_back(char(0xC0 | code >> 6));
            out.push_back(char(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(char(0xE0 | code >> 12));
            out.push_back(char(0x80 | (code >> 6 & 0x3F)));
            out.push_back(char(0x80 | (code & 0x3F)));
        } else {
            out.push_back(char(0xF0 | code >> 18));
            out.push_back(char(0x80 | (code >> 12 & 0x3F)));
            out.push_back(char(0x80 | (code >> 6 & 0x3F)));
            out.push_back(char(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

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
    std::u16string wide = comUtf8ToUtf16(utf8);
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

_bstr_t::_bstr_t(_bstr_t&& other) noexcept : data_(other.data_) { other.data_ = nullptr; }

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

_bstr_t::~_bstr_t() { release(); }

void _bstr_t::release() noexcept {
    if (data_ && data_->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete data_;
    data_ = nullptr;
}

BSTR _bstr_t::GetBSTR() const noexcept { return data_ ? data_->text : nullptr; }

const char* _bstr_t::c_str() const {
    if (!data_ || !data_->text) return nullptr;
    if (!data_->utf8) {
        std::string utf8 = comUtf16ToUtf8(std::u16string_view(data_->text, SysStringLen(data_->text)));
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
