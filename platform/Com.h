// The small COM layer the adapter and the card component talk through: result codes,
// GUIDs, the base interfaces, VARIANT, one-dimensional SAFEARRAY, per-thread initialisation
// and object creation through the class registry.
//
// The runtime (BSTR allocator, class registry, per-thread initialisation count) is built as
// one shared library that every module links, so a process has exactly one of each however
// many plug-ins carry code of their own.
//
// Interfaces are C++ classes whose virtual functions are declared in slot order. They have
// no virtual destructor (that would add slots); objects end through Release.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bstr.h"

#define TESSAROLL_COM_API __attribute__((visibility("default")))

using HRESULT = int32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using USHORT = uint16_t;
using UINT = uint32_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using BOOL = int32_t;
using LCID = uint32_t;
using DISPID = int32_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;

constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

constexpr HRESULT hresultOf(uint32_t value) {
    return static_cast<HRESULT>(value);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = hresultOf(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = hresultOf(0x80004002u);
inline constexpr HRESULT E_POINTER = hresultOf(0x80004003u);
inline constexpr HRESULT E_ABORT = hresultOf(0x80004004u);
inline constexpr HRESULT E_FAIL = hresultOf(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = hresultOf(0x8000FFFFu);
inline constexpr HRESULT E_ACCESSDENIED = hresultOf(0x80070005u);
inline constexpr HRESULT E_OUTOFMEMORY = hresultOf(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = hresultOf(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = hresultOf(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = hresultOf(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = hresultOf(0x80040154u);
inline constexpr HRESULT CO_E_NOTINITIALIZED = hresultOf(0x800401F0u);
inline constexpr HRESULT CO_E_DLLNOTFOUND = hresultOf(0x800401F8u);
inline constexpr HRESULT CO_E_ERRORINDLL = hresultOf(0x800401F9u);
inline constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = hresultOf(0x80080005u);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = hresultOf(0x80020005u);
inline constexpr HRESULT DISP_E_BADVARTYPE = hresultOf(0x80020008u);
inline constexpr HRESULT DISP_E_BADINDEX = hresultOf(0x8002000Bu);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = hresultOf(0x8002000Du);

// ---------------------------------------------------------------------------------------
// GUIDs

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
TESSAROLL_COM_API std::string guidToString(const GUID& guid);
// Accepts the registry form with or without braces, any case.
TESSAROLL_COM_API std::optional<GUID> guidFromString(std::string_view text);

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IRunnableObject = {
    0x00000126, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// ---------------------------------------------------------------------------------------
// VARIANT and SAFEARRAY

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_UI1 = 17,
    VT_UI4 = 19,
    VT_INT = 22,
    VT_UINT = 23,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct IUnknown;
struct IDispatch;
struct SAFEARRAY;

struct VARIANT {
    VARTYPE vt;
    uint16_t wReserved1;
    uint16_t wReserved2;
    uint16_t wReserved3;
    union {
        int64_t llVal;
        int32_t lVal;
        int32_t intVal;
        uint32_t ulVal;
        uint32_t uintVal;
        int16_t iVal;
        uint8_t bVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        double dblVal;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        void* byref;
        void* reserved[2];
    };
};
static_assert(sizeof(VARIANT) == 24,
              "VARIANT crosses module boundaries: 8-byte header, 16-byte value");

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};

enum : USHORT {
    FADF_HAVEVARTYPE = 0x0080,
    FADF_BSTR = 0x0100,
    FADF_UNKNOWN = 0x0200,
    FADF_DISPATCH = 0x0400,
    FADF_VARIANT = 0x0800,
};

enum : uint16_t {
    VARIANT_NOVALUEPROP = 0x01,
    VARIANT_ALPHABOOL = 0x02,
};

TESSAROLL_COM_API void VariantInit(VARIANT* value);
TESSAROLL_COM_API HRESULT VariantClear(VARIANT* value);
// Deep copy: strings and arrays are duplicated, interfaces get a reference. dest is cleared first.
TESSAROLL_COM_API HRESULT VariantCopy(VARIANT* dest, const VARIANT* source);
// Conversion in place is allowed (dest == source). Only VT_BSTR is a supported target.
TESSAROLL_COM_API HRESULT VariantChangeType(VARIANT* dest, const VARIANT* source, uint16_t flags,
                                            VARTYPE type);

// One-dimensional arrays only; more dimensions are refused.
TESSAROLL_COM_API SAFEARRAY* SafeArrayCreate(VARTYPE type, UINT dimensions, SAFEARRAYBOUND* bounds);
TESSAROLL_COM_API SAFEARRAY* SafeArrayCreateVector(VARTYPE type, LONG lowerBound, ULONG elements);
TESSAROLL_COM_API HRESULT SafeArrayDestroy(SAFEARRAY* array);
TESSAROLL_COM_API UINT SafeArrayGetDim(SAFEARRAY* array);
TESSAROLL_COM_API HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* type);
TESSAROLL_COM_API HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dimension, LONG* bound);
TESSAROLL_COM_API HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dimension, LONG* bound);
// Elements are copied in and out: a BSTR or VARIANT element is duplicated, an interface AddRef'd.
TESSAROLL_COM_API HRESULT SafeArrayGetElement(SAFEARRAY* array, LONG* indices, void* element);
TESSAROLL_COM_API HRESULT SafeArrayPutElement(SAFEARRAY* array, LONG* indices, void* element);
TESSAROLL_COM_API HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy);

// ---------------------------------------------------------------------------------------
// Interfaces

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

struct ITypeInfo;  // type libraries are not provided; GetTypeInfo answers E_NOTIMPL

struct DISPPARAMS {
    VARIANT* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    HRESULT scode;
};

struct IDispatch : IUnknown {
    virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
    virtual HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(REFIID iid, OLECHAR** names, UINT count, LCID locale,
                                  DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID member, REFIID iid, LCID locale, WORD flags,
                           DISPPARAMS* parameters, VARIANT* result, EXCEPINFO* exception,
                           UINT* argumentError) = 0;

protected:
    ~IDispatch() = default;
};

struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

// Objects that need a start before use offer this; OleRun calls Run.
struct IRunnableObject : IUnknown {
    virtual HRESULT GetRunningClass(CLSID* clsid) = 0;
    virtual HRESULT Run(void* bindContext) = 0;
    virtual BOOL IsRunning() = 0;
    virtual HRESULT LockRunning(BOOL lock, BOOL lastUnlockCloses) = 0;
    virtual HRESULT SetContainedObject(BOOL contained) = 0;

protected:
    ~IRunnableObject() = default;
};

// ---------------------------------------------------------------------------------------
// Runtime

enum : DWORD {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_ALL =
        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
};

enum : DWORD {
    COINIT_MULTITHREADED = 0x0,
    COINIT_APARTMENTTHREADED = 0x2,
};

// Per thread and counted: the first call on a thread answers S_OK, later ones S_FALSE; each
// needs its own CoUninitialize. Objects can be created only on an initialised thread.
TESSAROLL_COM_API HRESULT CoInitialize(void* reserved);
TESSAROLL_COM_API HRESULT CoInitializeEx(void* reserved, DWORD flags);
TESSAROLL_COM_API void CoUninitialize();
// How many CoInitialize calls of the calling thread are not yet undone.
TESSAROLL_COM_API int comInitializeCount();

// The class registry maps a class identifier to a shared library that exports
// DllGetClassObject. Only in-process servers exist here: a context without
// CLSCTX_INPROC_SERVER or CLSCTX_INPROC_HANDLER finds no server.
TESSAROLL_COM_API HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* serverInfo,
                                           REFIID iid, void** object);
TESSAROLL_COM_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context,
                                           REFIID iid, void** object);
// Puts an object into its running state: Run of its IRunnableObject when it has one.
TESSAROLL_COM_API HRESULT OleRun(IUnknown* object);

// The registry file: lines "{class identifier}=library path"; a relative path is taken from
// the file's folder; "#" and ";" start comments. It is "ComRegistry.ini" beside the runtime
// library (the stage folder) unless TESSAROLL_COM_REGISTRY names another file.
inline constexpr const char* kComRegistryVariable = "TESSAROLL_COM_REGISTRY";
inline constexpr const char* kComRegistryFileName = "ComRegistry.ini";
TESSAROLL_COM_API std::string comRegistryPath();
// The library registered for clsid, resolved to a path; nothing when it has no entry.
TESSAROLL_COM_API std::optional<std::string> comServerPath(REFCLSID clsid);

// What an in-process server exports.
using DllGetClassObjectFunction = HRESULT (*)(REFCLSID clsid, REFIID iid, void** object);
#define TESSAROLL_COM_SERVER_EXPORT extern "C" __attribute__((visibility("default")))

// ---------------------------------------------------------------------------------------
// The COM error exception: carries an HRESULT.

class _com_error {
public:
    explicit _com_error(HRESULT result) noexcept : result_(result) {}
    HRESULT Error() const noexcept { return result_; }
    // A short description of the result code.
    const char* ErrorMessage() const noexcept { return comErrorText(result_); }
    static const char* comErrorText(HRESULT result) noexcept;

private:
    HRESULT result_;
};

[[noreturn]] inline void _com_issue_error(HRESULT result) {
    throw _com_error(result);
}
// The object's error details are not kept: the HRESULT is the whole of what callers use.
[[noreturn]] inline void _com_issue_errorex(HRESULT result, IUnknown* /*object*/, REFIID /*iid*/) {
    throw _com_error(result);
}

inline const char* _com_error::comErrorText(HRESULT result) noexcept {
    switch (result) {
        case S_OK: return "The operation completed successfully.";
        case E_NOTIMPL: return "Not implemented.";
        case E_NOINTERFACE: return "No such interface supported.";
        case E_POINTER: return "Invalid pointer.";
        case E_FAIL: return "Unspecified error.";
        case E_OUTOFMEMORY: return "Not enough memory.";
        case E_INVALIDARG: return "The parameter is incorrect.";
        case REGDB_E_CLASSNOTREG: return "Class not registered.";
        case CO_E_NOTINITIALIZED: return "CoInitialize has not been called.";
        default: return "Unknown error.";
    }
}
