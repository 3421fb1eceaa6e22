#include "tests/doubles/TestComponent/TestComponent.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string_view>

#include "platform/CardComponentInterface.h"
#include "platform/ComBstr.h"
#include "platform/Encoding.h"

namespace {

TestComponentControl control;

std::string describe(const std::vector<TestComponentArgument>& arguments) {
    std::string text;
    for (const TestComponentArgument& argument : arguments) {
        if (!text.empty()) text += ",";
        if (!argument.isText)
            text += std::to_string(argument.number);
        else if (argument.isNull)
            text += "<null>";
        else
            text += "\"" + utf16ToUtf8(argument.text) + "\"";
    }
    return text;
}

const char* logPath() {
    static const char* path = [] {
        const char* value = std::getenv(kTestComponentLogVariable);
        return value && *value ? value : nullptr;
    }();
    return path;
}

void appendToLog(const std::string& line) {
    const char* path = logPath();
    if (!path) return;
    if (std::FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

TestComponentArgument textArgument(BSTR text) {
    TestComponentArgument argument;
    argument.isText = true;
    argument.isNull = text == nullptr;
    argument.address = text;
    if (text) argument.text.assign(text, SysStringLen(text));
    return argument;
}

TestComponentArgument numberArgument(LONG number) {
    TestComponentArgument argument;
    argument.number = number;
    return argument;
}

BSTR allocate(std::u16string_view text) {
    return SysAllocStringLen(text.data(), uint32_t(text.size()));
}

class TestCardComponent final : public ICardCryptoComponent, public IRunnableObject {
public:
    TestCardComponent() {
        std::lock_guard guard(control.lock);
        id_ = ++control.objectsCreated;
        ++control.objectsAlive;
        appendToLog("create " + std::to_string(id_));
    }

    // IUnknown
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *object = static_cast<ICardCryptoComponent*>(this);
        } else if (iid == IID_ICardCryptoComponent) {
            std::lock_guard guard(control.lock);
            if (control.offerInterface) *object = static_cast<ICardCryptoComponent*>(this);
        } else if (iid == IID_IRunnableObject) {
            *object = static_cast<IRunnableObject*>(this);
        }
        if (!*object) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override {
        ULONG left = --references_;
        if (left == 0) {
            {
                std::lock_guard guard(control.lock);
                --control.objectsAlive;
            }
            appendToLog("destroy " + std::to_string(id_));
            delete this;
        }
        return left;
    }

    // IDispatch: the adapter never goes through it.
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    // IRunnableObject
    HRESULT GetRunningClass(CLSID* clsid) override {
        if (!clsid) return E_INVALIDARG;
        *clsid = CLSID_CardCryptoComponent;
        return S_OK;
    }
    HRESULT Run(void*) override {
        std::lock_guard guard(control.lock);
        ++control.runCalls;
        return control.runResult;
    }
    BOOL IsRunning() override { return 1; }
    HRESULT LockRunning(BOOL, BOOL) override { return S_OK; }
    HRESULT SetContainedObject(BOOL) override { return S_OK; }

    // The component's own methods, each with the slot it is meant to occupy.
#include "tests/doubles/TestComponent/Methods.inc"

private:
    TestComponentReply record(int slot, const char* method,
                              std::initializer_list<TestComponentArgument> arguments) {
        TestComponentCall call{id_, slot, method, arguments};
        if (logPath())
            appendToLog("call " + std::to_string(id_) + " " + std::to_string(slot) + " " + method +
                        " " + describe(call.arguments));
        std::lock_guard guard(control.lock);
        TestComponentReply reply;
        if (auto found = control.replies.find(method); found != control.replies.end())
            reply = found->second;
        if (!reply.text && !reply.nullText)
            reply.text = utf8ToUtf16(std::string(method) + ":" + describe(call.arguments));
        if (!reply.number) reply.number = slot * 100;
        control.calls.push_back(std::move(call));
        return reply;
    }

    HRESULT answerText(int slot, const char* method,
                       std::initializer_list<TestComponentArgument> arguments, BSTR* answer) {
        TestComponentReply reply = record(slot, method, arguments);
        if (!answer) return E_POINTER;
        if (SUCCEEDED(reply.result) || reply.writeAnswerOnFailure)
            *answer = reply.nullText ? nullptr : allocate(*reply.text);
        return reply.result;
    }
    HRESULT answerNumber(int slot, const char* method,
                         std::initializer_list<TestComponentArgument> arguments, LONG* answer) {
        TestComponentReply reply = record(slot, method, arguments);
        if (!answer) return E_POINTER;
        if (SUCCEEDED(reply.result) || reply.writeAnswerOnFailure) *answer = *reply.number;
        return reply.result;
    }
    HRESULT answerVariant(int slot, const char* method,
                          std::initializer_list<TestComponentArgument> arguments, VARIANT* answer) {
        TestComponentReply reply = record(slot, method, arguments);
        if (!answer) return E_POINTER;
        if (FAILED(reply.result) && !reply.writeAnswerOnFailure) return reply.result;
        if (reply.variant) {
            reply.variant(answer);
        } else {
            SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 2);
            const char16_t* names[] = {u"cert-a", u"cert-b"};
            for (LONG i = 0; i < 2; ++i) {
                VARIANT element;
                VariantInit(&element);
                element.vt = VT_BSTR;
                element.bstrVal = SysAllocString(names[i]);
                SafeArrayPutElement(array, &i, &element);
                VariantClear(&element);
            }
            answer->vt = VT_ARRAY | VT_VARIANT;
            answer->parray = array;
        }
        return reply.result;
    }
    HRESULT answerNothing(int slot, const char* method,
                          std::initializer_list<TestComponentArgument> arguments) {
        return record(slot, method, arguments).result;
    }

    int id_ = 0;
    std::atomic<ULONG> references_{1};
};

class TestClassFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!(iid == IID_IUnknown) && !(iid == IID_IClassFactory)) return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return 2; }  // a static object
    ULONG Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        {
            std::lock_guard guard(control.lock);
            if (FAILED(control.createResult)) return control.createResult;
        }
        auto* component = new TestCardComponent;
        HRESULT result = component->QueryInterface(iid, object);
        component->Release();
        return result;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

TestClassFactory factory;

}  // namespace

TESSAROLL_COM_SERVER_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!(clsid == CLSID_CardCryptoComponent)) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(iid, object);
}

TESSAROLL_COM_SERVER_EXPORT TestComponentControl* testComponentControl() {
    return &control;
}
