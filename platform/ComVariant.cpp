// VARIANT and one-dimensional SAFEARRAY.
#include "platform/Com.h"
#include "platform/ComBstr.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// The element type sits in front of the descriptor, as FADF_HAVEVARTYPE promises.
struct ArrayBlock {
    VARTYPE type;
    SAFEARRAY array;
};

ArrayBlock* blockOf(SAFEARRAY* array) {
    return reinterpret_cast<ArrayBlock*>(reinterpret_cast<unsigned char*>(array) -
                                         offsetof(ArrayBlock, array));
}

ULONG elementSize(VARTYPE type) {
    switch (type) {
        case VT_I2:
        case VT_BOOL: return 2;
        case VT_I4:
        case VT_INT:
        case VT_UI4:
        case VT_UINT:
        case VT_ERROR: return 4;
        case VT_R8: return 8;
        case VT_UI1: return 1;
        case VT_BSTR: return sizeof(BSTR);
        case VT_UNKNOWN:
        case VT_DISPATCH: return sizeof(void*);
        case VT_VARIANT: return sizeof(VARIANT);
        default: return 0;
    }
}

USHORT featuresOf(VARTYPE type) {
    switch (type) {
        case VT_BSTR: return FADF_HAVEVARTYPE | FADF_BSTR;
        case VT_UNKNOWN: return FADF_HAVEVARTYPE | FADF_UNKNOWN;
        case VT_DISPATCH: return FADF_HAVEVARTYPE | FADF_DISPATCH;
        case VT_VARIANT: return FADF_HAVEVARTYPE | FADF_VARIANT;
        default: return FADF_HAVEVARTYPE;
    }
}

void* elementAt(SAFEARRAY* array, LONG index) {
    return static_cast<unsigned char*>(array->pvData) +
           std::size_t(index - array->rgsabound[0].lLbound) * array->cbElements;
}

// Releases what one element owns; the element's memory stays.
void clearElement(VARTYPE type, void* element) {
    switch (type) {
        case VT_BSTR:
            SysFreeString(*static_cast<BSTR*>(element));
            *static_cast<BSTR*>(element) = nullptr;
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (auto* object = *static_cast<IUnknown**>(element)) object->Release();
            *static_cast<IUnknown**>(element) = nullptr;
            break;
        case VT_VARIANT: VariantClear(static_cast<VARIANT*>(element)); break;
        default: break;
    }
}

// Copies one element into uninitialised (or cleared) memory.
HRESULT copyElement(VARTYPE type, void* dest, const void* source, ULONG size) {
    switch (type) {
        case VT_BSTR: {
            BSTR text = *static_cast<const BSTR*>(source);
            BSTR copy = nullptr;
            if (text && !(copy = SysAllocStringByteLen(reinterpret_cast<const char*>(text),
                                                       SysStringByteLen(text))))
                return E_OUTOFMEMORY;
            *static_cast<BSTR*>(dest) = copy;
            return S_OK;
        }
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            auto* object = *static_cast<IUnknown* const*>(source);
            if (object) object->AddRef();
            *static_cast<IUnknown**>(dest) = object;
            return S_OK;
        }
        case VT_VARIANT:
            VariantInit(static_cast<VARIANT*>(dest));
            return VariantCopy(static_cast<VARIANT*>(dest), static_cast<const VARIANT*>(source));
        default: std::memcpy(dest, source, size); return S_OK;
    }
}

HRESULT checkIndex(SAFEARRAY* array, LONG* indices) {
    if (!array || !indices) return E_INVALIDARG;
    const SAFEARRAYBOUND& bound = array->rgsabound[0];
    int64_t offset = int64_t(indices[0]) - bound.lLbound;
    if (offset < 0 || offset >= int64_t(bound.cElements)) return DISP_E_BADINDEX;
    return S_OK;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// SAFEARRAY

SAFEARRAY* SafeArrayCreate(VARTYPE type, UINT dimensions, SAFEARRAYBOUND* bounds) {
    if (dimensions != 1 || !bounds) return nullptr;
    ULONG size = elementSize(type);
    if (size == 0) return nullptr;
    auto* block = static_cast<ArrayBlock*>(std::calloc(1, sizeof(ArrayBlock)));
    if (!block) return nullptr;
    block->type = type;
    SAFEARRAY* array = &block->array;
    array->cDims = 1;
    array->fFeatures = featuresOf(type);
    array->cbElements = size;
    array->rgsabound[0] = bounds[0];
    if (bounds[0].cElements > 0) {
        array->pvData = std::calloc(bounds[0].cElements, size);
        if (!array->pvData) {
            std::free(block);
            return nullptr;
        }
    }
    // calloc's zeros are a valid empty element for every supported type (VT_EMPTY, null BSTR).
    return array;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE type, LONG lowerBound, ULONG elements) {
    SAFEARRAYBOUND bound{elements, lowerBound};
    return SafeArrayCreate(type, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
    if (!array) return S_OK;
    if (array->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    ArrayBlock* block = blockOf(array);
    const SAFEARRAYBOUND& bound = array->rgsabound[0];
    for (ULONG i = 0; i < bound.cElements; ++i)
        clearElement(block->type, elementAt(array, bound.lLbound + LONG(i)));
    std::free(array->pvData);
    std::free(block);
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* array) {
    return array ? array->cDims : 0;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* type) {
    if (!array || !type) return E_INVALIDARG;
    *type = blockOf(array)->type;
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* bound) {
    if (!array || !bound) return E_INVALIDARG;
    if (dimension != 1) return DISP_E_BADINDEX;
    *bound = array->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* bound) {
    if (!array || !bound) return E_INVALIDARG;
    if (dimension != 1) return DISP_E_BADINDEX;
    *bound =
        LONG(int64_t(array->rgsabound[0].lLbound) + int64_t(array->rgsabound[0].cElements) - 1);
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* element) {
    if (HRESULT result = checkIndex(array, indices); FAILED(result)) return result;
    if (!element) return E_INVALIDARG;
    return copyElement(blockOf(array)->type, element, elementAt(array, indices[0]),
                       array->cbElements);
}

HRESULT SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* element) {
    if (HRESULT result = checkIndex(array, indices); FAILED(result)) return result;
    VARTYPE type = blockOf(array)->type;
    void* slot = elementAt(array, indices[0]);
    // A BSTR or interface element is passed by value, not by address.
    const void* source = element;
    if (type == VT_BSTR || type == VT_UNKNOWN || type == VT_DISPATCH)
        source = &element;
    else if (!element)
        return E_INVALIDARG;
    // Build the copy aside first so a failed copy leaves the old element in place.
    alignas(VARIANT) unsigned char copy[sizeof(VARIANT)];
    if (HRESULT result = copyElement(type, copy, source, array->cbElements); FAILED(result))
        return result;
    clearElement(type, slot);
    std::memcpy(slot, copy, array->cbElements);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy) {
    if (!copy) return E_INVALIDARG;
    *copy = nullptr;
    if (!source) return S_OK;
    VARTYPE type = blockOf(source)->type;
    SAFEARRAY* result = SafeArrayCreate(type, 1, source->rgsabound);
    if (!result) return E_OUTOFMEMORY;
    const SAFEARRAYBOUND& bound = source->rgsabound[0];
    for (ULONG i = 0; i < bound.cElements; ++i) {
        LONG index = bound.lLbound + LONG(i);
        if (HRESULT r = copyElement(type, elementAt(result, index), elementAt(source, index),
                                    source->cbElements);
            FAILED(r)) {
            SafeArrayDestroy(result);
            return r;
        }
    }
    *copy = result;
    return S_OK;
}

// ---------------------------------------------------------------------------------------
// VARIANT

void VariantInit(VARIANT* value) {
    if (!value) return;
    std::memset(value, 0, sizeof *value);
    value->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* value) {
    if (!value) return E_INVALIDARG;
    HRESULT result = S_OK;
    if (!(value->vt & VT_BYREF)) {
        if (value->vt & VT_ARRAY) {
            result = SafeArrayDestroy(value->parray);
            if (FAILED(result)) return result;
        } else {
            switch (value->vt) {
                case VT_BSTR: SysFreeString(value->bstrVal); break;
                case VT_UNKNOWN:
                case VT_DISPATCH:
                    if (value->punkVal) value->punkVal->Release();
                    break;
                default: break;
            }
        }
    }
    VariantInit(value);
    return result;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* source) {
    if (!dest || !source) return E_INVALIDARG;
    if (dest == source) return S_OK;
    VARIANT copy;
    VariantInit(&copy);
    copy.vt = source->vt;
    if (source->vt & VT_BYREF) {
        copy.byref = source->byref;
    } else if (source->vt & VT_ARRAY) {
        if (HRESULT r = SafeArrayCopy(source->parray, &copy.parray); FAILED(r)) return r;
    } else {
        switch (source->vt) {
            case VT_BSTR:
                if (HRESULT r = copyElement(VT_BSTR, &copy.bstrVal, &source->bstrVal, sizeof(BSTR));
                    FAILED(r))
                    return r;
                break;
            case VT_UNKNOWN:
            case VT_DISPATCH:
                copyElement(VT_UNKNOWN, &copy.punkVal, &source->punkVal, sizeof(void*));
                break;
            default:
                if (source->vt > VT_UINT && source->vt != VT_EMPTY) return DISP_E_BADVARTYPE;
                std::memcpy(copy.reserved, source->reserved, sizeof copy.reserved);
                break;
        }
    }
    if (HRESULT r = VariantClear(dest); FAILED(r)) {
        VariantClear(&copy);
        return r;
    }
    *dest = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* source, uint16_t flags, VARTYPE type) {
    if (!dest || !source) return E_INVALIDARG;
    if (type != VT_BSTR) return DISP_E_TYPEMISMATCH;
    if (source->vt == VT_BSTR) return VariantCopy(dest, source);

    std::string text;
    switch (source->vt) {
        case VT_EMPTY: break;
        case VT_I2: text = std::to_string(source->iVal); break;
        case VT_I4:
        case VT_INT: text = std::to_string(source->lVal); break;
        case VT_UI4:
        case VT_UINT: text = std::to_string(source->ulVal); break;
        case VT_UI1: text = std::to_string(source->bVal); break;
        case VT_BOOL:
            if (flags & VARIANT_ALPHABOOL)
                text = source->boolVal ? "True" : "False";
            else
                text = source->boolVal ? "-1" : "0";
            break;
        default: return DISP_E_TYPEMISMATCH;
    }
    std::u16string wide(text.begin(), text.end());  // digits and letters only: ASCII
    BSTR converted = SysAllocStringLen(wide.data(), uint32_t(wide.size()));
    if (!converted) return E_OUTOFMEMORY;
    if (HRESULT r = VariantClear(dest); FAILED(r)) {
        SysFreeString(converted);
        return r;
    }
    dest->vt = VT_BSTR;
    dest->bstrVal = converted;
    return S_OK;
}
