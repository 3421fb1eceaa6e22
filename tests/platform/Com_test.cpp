// The COM layer: strings, the string holder, VARIANT, SAFEARRAY, GUIDs, per-thread
// initialisation and the class registry's failure answers.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "helpers/Sandbox.h"
#include "platform/CardComponentInterface.h"
#include "platform/Com.h"
#include "platform/ComBstr.h"

namespace fs = std::filesystem;

namespace {

// Counts the strings freed while it is alive and keeps what they held.
struct FreeLog {
    std::vector<std::u16string> freed;
    FreeLog() {
        setBstrFreeObserver(
            [](BSTR text, uint32_t bytes, void* self) {
                static_cast<FreeLog*>(self)->freed.emplace_back(text, bytes / sizeof(OLECHAR));
            },
            this);
    }
    ~FreeLog() { setBstrFreeObserver(nullptr, nullptr); }
};

TEST(Bstr, NullAndZeroLengthStayApartAndTheLengthPrefixCountsBytes) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], u'\0');

    BSTR text = SysAllocStringLen(u"abc\0def", 7);  // embedded zero kept
    uint32_t prefix;
    std::memcpy(&prefix, reinterpret_cast<char*>(text) - 4, 4);
    EXPECT_EQ(prefix, 14u);
    EXPECT_EQ(SysStringByteLen(text), 14u);
    EXPECT_EQ(SysStringLen(text), 7u);
    EXPECT_EQ(text[7], u'\0');
    EXPECT_EQ(text[4], u'd');

    BSTR zeroed = SysAllocStringLen(nullptr, 3);
    EXPECT_EQ(std::u16string(zeroed, 3), std::u16string(3, u'\0'));
    BSTR odd = SysAllocStringByteLen("xyz", 3);
    EXPECT_EQ(SysStringByteLen(odd), 3u);
    EXPECT_EQ(SysStringLen(odd), 1u);
    EXPECT_EQ(reinterpret_cast<char*>(odd)[3], '\0');

    FreeLog log;
    SysFreeString(text);
    SysFreeString(nullptr);
    ASSERT_EQ(log.freed.size(), 1u);
    EXPECT_EQ(log.freed[0], std::u16string(u"abc\0def", 7));
    for (BSTR s : {empty, zeroed, odd}) SysFreeString(s);
}

TEST(BstrHolder, CopiesShareTheStringAndTheLastOneFreesIt) {
    FreeLog log;
    {
        _bstr_t first("zertifikat ü 😀");
        EXPECT_EQ(first.length(), 15u);  // the emoji is a surrogate pair
        _bstr_t second = first;
        EXPECT_EQ(second.GetBSTR(), first.GetBSTR());
        {
            _bstr_t third(second);
            third = _bstr_t();
            EXPECT_TRUE(third.isNull());
        }
        first = _bstr_t();
        EXPECT_TRUE(log.freed.empty());
        EXPECT_STREQ(second.c_str(), "zertifikat ü 😀");
    }
    ASSERT_EQ(log.freed.size(), 1u);
    EXPECT_EQ(log.freed[0], u"zertifikat ü 😀");
}

TEST(BstrHolder, EmptyHolderAndEmptyTextDiffer) {
    _bstr_t none;
    EXPECT_EQ(none.GetBSTR(), nullptr);
    EXPECT_EQ(none.c_str(), nullptr);
    _bstr_t empty("");
    ASSERT_NE(empty.GetBSTR(), nullptr);
    EXPECT_EQ(empty.length(), 0u);
    EXPECT_STREQ(empty.c_str(), "");
    EXPECT_TRUE(_bstr_t(static_cast<const char*>(nullptr)).isNull());
}

TEST(BstrHolder, AttachDetachAndOutputAddress) {
    FreeLog log;
    _bstr_t holder;
    BSTR& slot = holder.GetAddress();
    EXPECT_EQ(slot, nullptr);
    slot = SysAllocString(u"answer");
    EXPECT_STREQ(holder.c_str(), "answer");

    _bstr_t shared = holder;
    BSTR detached = holder.Detach();  // shared: the caller gets its own copy
    EXPECT_TRUE(holder.isNull());
    EXPECT_NE(detached, shared.GetBSTR());
    EXPECT_EQ(std::u16string(detached), u"answer");
    SysFreeString(detached);

    BSTR own = shared.Detach();  // sole owner: the string itself
    EXPECT_EQ(std::u16string(own), u"answer");
    shared.Attach(own);
    shared = _bstr_t();
    EXPECT_EQ(log.freed.size(), 2u);
}

VARIANT bstrVariant(const char16_t* text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    return v;
}

TEST(Variant, CopyIsDeepAndClearFrees) {
    VARIANT source = bstrVariant(u"value");
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, source.bstrVal);
    EXPECT_EQ(std::u16string(copy.bstrVal), u"value");

    FreeLog log;
    EXPECT_EQ(VariantClear(&source), S_OK);
    EXPECT_EQ(source.vt, VT_EMPTY);
    EXPECT_EQ(log.freed.size(), 1u);
    // Copying over a VARIANT that holds a string frees that string first.
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = -9;
    ASSERT_EQ(VariantCopy(&copy, &number), S_OK);
    EXPECT_EQ(log.freed.size(), 2u);
    EXPECT_EQ(copy.lVal, -9);
}

TEST(Variant, ChangeTypeToText) {
    struct Case {
        VARTYPE type;
        int32_t value;
        uint16_t flags;
        const char16_t* text;
    } cases[] = {
        {VT_I4, -2147483647 - 1, 0, u"-2147483648"},
        {VT_INT, 42, 0, u"42"},
        {VT_BOOL, VARIANT_TRUE, 0, u"-1"},
        {VT_BOOL, VARIANT_TRUE, VARIANT_ALPHABOOL, u"True"},
        {VT_EMPTY, 0, 0, u""},
    };
    for (const Case& c : cases) {
        VARIANT v;
        VariantInit(&v);
        v.vt = c.type;
        if (c.type == VT_BOOL)
            v.boolVal = VARIANT_BOOL(c.value);
        else
            v.lVal = c.value;
        ASSERT_EQ(VariantChangeType(&v, &v, c.flags, VT_BSTR), S_OK);  // in place
        ASSERT_EQ(v.vt, VT_BSTR);
        EXPECT_EQ(std::u16string(v.bstrVal, SysStringLen(v.bstrVal)), c.text);
        VariantClear(&v);
    }
    VARIANT v = bstrVariant(u"x");
    VARIANT out;
    VariantInit(&out);
    EXPECT_EQ(VariantChangeType(&out, &v, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(out.vt, VT_EMPTY);
    VariantClear(&v);
}

TEST(SafeArray, OneDimensionWithBoundsElementsAndCopies) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 1, 3);
    ASSERT_NE(array, nullptr);
    LONG lower = 0, upper = 0;
    EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
    EXPECT_EQ(lower, 1);
    EXPECT_EQ(upper, 3);
    EXPECT_EQ(SafeArrayGetLBound(array, 2, &lower), DISP_E_BADINDEX);
    VARTYPE type = 0;
    EXPECT_EQ(SafeArrayGetVartype(array, &type), S_OK);
    EXPECT_EQ(type, VT_VARIANT);

    VARIANT element = bstrVariant(u"two");
    LONG index = 2;
    ASSERT_EQ(SafeArrayPutElement(array, &index, &element), S_OK);
    VariantClear(&element);  // the array holds its own copy
    for (LONG outside : {0, 4})
        EXPECT_EQ(SafeArrayPutElement(array, &outside, &element), DISP_E_BADINDEX);

    VARIANT got;
    VariantInit(&got);
    ASSERT_EQ(SafeArrayGetElement(array, &index, &got), S_OK);
    EXPECT_EQ(std::u16string(got.bstrVal), u"two");
    VariantClear(&got);
    index = 1;
    ASSERT_EQ(SafeArrayGetElement(array, &index, &got), S_OK);
    EXPECT_EQ(got.vt, VT_EMPTY);

    VARIANT holder;
    VariantInit(&holder);
    holder.vt = VT_ARRAY | VT_VARIANT;
    holder.parray = array;
    VARIANT copy;
    VariantInit(&copy);
    ASSERT_EQ(VariantCopy(&copy, &holder), S_OK);
    EXPECT_NE(copy.parray, array);
    FreeLog log;
    VariantClear(&holder);
    EXPECT_EQ(log.freed, std::vector<std::u16string>{u"two"});
    index = 2;
    ASSERT_EQ(SafeArrayGetElement(copy.parray, &index, &got), S_OK);
    EXPECT_EQ(std::u16string(got.bstrVal), u"two");
    VariantClear(&got);
    VariantClear(&copy);

    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_I4, 2, bounds), nullptr);
}

TEST(SafeArray, StringElementsArePassedByValueAndCopied) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 1);
    BSTR text = SysAllocString(u"s");
    LONG index = 0;
    ASSERT_EQ(SafeArrayPutElement(array, &index, text), S_OK);
    SysFreeString(text);
    BSTR out = nullptr;
    ASSERT_EQ(SafeArrayGetElement(array, &index, &out), S_OK);
    EXPECT_EQ(std::u16string(out), u"s");
    SysFreeString(out);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(Guid, TextFormsRoundTrip) {
    EXPECT_EQ(guidToString(CLSID_CardCryptoComponent), "{2BA55A3B-BA08-4B99-AF12-8FBD0A485310}");
    EXPECT_EQ(guidToString(IID_ICardCryptoComponent), "{491004CE-23AC-4694-834F-E27AA311C7AE}");
    EXPECT_EQ(guidFromString("491004ce-23ac-4694-834f-e27aa311c7ae"), IID_ICardCryptoComponent);
    EXPECT_EQ(guidFromString(" {00020400-0000-0000-C000-000000000046} "), IID_IDispatch);
    for (const char* bad :
         {"", "{491004CE-23AC-4694-834F-E27AA311C7A}", "491004CE023AC-4694-834F-E27AA311C7AE",
          "{491004CE-23AC-4694-834F-E27AA311C7AG}", "{491004CE-23AC-4694-834F-E27AA311C7AE"})
        EXPECT_FALSE(guidFromString(bad).has_value()) << bad;
}

TEST(ComThread, InitialisationIsCountedPerThread) {
    int before = comInitializeCount();
    EXPECT_EQ(CoInitialize(nullptr), before == 0 ? S_OK : S_FALSE);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(comInitializeCount(), before + 2);
    std::thread([] {
        EXPECT_EQ(comInitializeCount(), 0);
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        CoUninitialize();
        CoUninitialize();  // one too many does no harm
        EXPECT_EQ(comInitializeCount(), 0);
    }).join();
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(comInitializeCount(), before);
}

class ComRegistry : public ::testing::Test {
protected:
    testing_support::Sandbox sandbox;
    fs::path registry = sandbox.root() / "reg" / "ComRegistry.ini";
    std::optional<std::string> saved;
    void SetUp() override {
        if (const char* value = std::getenv(kComRegistryVariable)) saved = value;
        fs::create_directories(registry.parent_path());
        setenv(kComRegistryVariable, registry.c_str(), 1);
        CoInitialize(nullptr);
    }
    void TearDown() override {
        CoUninitialize();
        if (saved)
            setenv(kComRegistryVariable, saved->c_str(), 1);
        else
            unsetenv(kComRegistryVariable);
    }
    void registerClass(const std::string& library) {
        testing_support::writeFile(
            registry,
            "; classes\n[classes]\n# none yet\n{2ba55a3b-ba08-4b99-af12-8fbd0a485310} = " +
                library + "\n");
    }
    HRESULT create(DWORD context = 0x17) {
        void* object = reinterpret_cast<void*>(1);
        HRESULT result =
            CoCreateInstance(CLSID_CardCryptoComponent, nullptr, context, IID_IUnknown, &object);
        EXPECT_EQ(object, nullptr);
        return result;
    }
};

TEST_F(ComRegistry, PathsAreTakenFromTheFileAndRelativeOnesFromItsFolder) {
    registerClass("sub/../lib/server.so");
    EXPECT_EQ(comRegistryPath(), registry.string());
    EXPECT_EQ(comServerPath(CLSID_CardCryptoComponent),
              (registry.parent_path() / "lib/server.so").string());
    EXPECT_FALSE(comServerPath(IID_IDispatch).has_value());
    unsetenv(kComRegistryVariable);
    // Without the variable: the file beside the runtime library, in the stage folder.
    EXPECT_EQ(fs::path(comRegistryPath()), fs::path(TESSAROLL_STAGE_DIR) / "ComRegistry.ini");
}

TEST_F(ComRegistry, CreationFailuresAnswerTheirCodes) {
    Dl_info runtime{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&SysAllocString), &runtime), 0);

    EXPECT_EQ(create(), REGDB_E_CLASSNOTREG);  // no registry file at all
    registerClass((sandbox.root() / "missing.so").string());
    EXPECT_EQ(create(), CO_E_DLLNOTFOUND);
    registerClass(runtime.dli_fname);  // a library, but no server
    EXPECT_EQ(create(), CO_E_ERRORINDLL);
    EXPECT_EQ(create(CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER), REGDB_E_CLASSNOTREG);
    std::thread([this] { EXPECT_EQ(create(), CO_E_NOTINITIALIZED); }).join();
    EXPECT_EQ(CoCreateInstance(CLSID_CardCryptoComponent, nullptr, 0x17, IID_IUnknown, nullptr),
              E_POINTER);
    EXPECT_EQ(OleRun(nullptr), E_INVALIDARG);
}

TEST(ComError, CarriesItsResult) {
    try {
        _com_issue_errorex(E_OUTOFMEMORY, nullptr, IID_ICardCryptoComponent);
        FAIL();
    } catch (const _com_error& error) {
        EXPECT_EQ(error.Error(), hresultOf(0x8007000Eu));
        EXPECT_STREQ(error.ErrorMessage(), "Not enough memory.");
    }
}

}  // namespace
