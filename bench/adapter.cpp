// One component call through the adapter plug-in, dispatched by index and by name, against
// a direct call of the same component method. Logging is off, as outside debug mode.
#include "BenchRows.h"

#include <memory>

#include "AdapterHarness.h"
#include "platform/CardComponentInterface.h"
#include "platform/ComBstr.h"
#include "platform/Encoding.h"

using namespace adapter_testing;

namespace {

struct Setup {
    ComponentSandbox box{false};
    AdapterCopy adapter{box.sandbox().root() / "copy"};
    JsonMapPtr byIndex =
        parseJsonMap(R"({"TessarollFunctionIndex":"4","strCert":"MIIBfakecert","iFlags":"3"})");
    JsonMapPtr byName =
        parseJsonMap(R"({"TessarollFunctionIndex":"70","strCert":"MIIBfakecert","iFlags":"3"})");
    ICardCryptoComponent* component = nullptr;

    Setup() {
        TestComponentReply reply;
        reply.text = u"CN=Subject";
        box.component().replies["CAPICertGetSubject"] = reply;
        CoInitialize(nullptr);
        CoCreateInstance(CLSID_CardCryptoComponent, nullptr, CLSCTX_INPROC_SERVER,
                         IID_ICardCryptoComponent, reinterpret_cast<void**>(&component));
    }
    ~Setup() {
        if (component) component->Release();
        CoUninitialize();
    }
    void forget(int64_t iteration) {
        if (iteration % 1024 == 0) box.component().takeCalls();
    }
};

Setup& setup() {
    static Setup instance;
    return instance;
}

void adapterByIndex(benchmark::State& state) {
    Setup& s = setup();
    int64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.adapter.callJsonMap(s.byIndex.get(), "CAPICertGetSubject"));
        s.forget(++i);
    }
}
BENCHMARK(adapterByIndex);

void adapterByName(benchmark::State& state) {
    Setup& s = setup();
    int64_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.adapter.callJsonMap(s.byName.get(), "CAPICertGetSubject"));
        s.forget(++i);
    }
}
BENCHMARK(adapterByName);

// What a handler does around the method, done by hand: the text argument made and freed, the
// answer converted to UTF-8 and freed.
void directCall(benchmark::State& state) {
    Setup& s = setup();
    if (!s.component) {
        state.SkipWithError("component not created");
        return;
    }
    int64_t i = 0;
    for (auto _ : state) {
        BSTR certificate = SysAllocString(u"MIIBfakecert");
        BSTR answer = nullptr;
        s.component->CAPICertGetSubject(certificate, 3, &answer);
        std::string text = utf16ToUtf8(std::u16string_view(answer, SysStringLen(answer)));
        benchmark::DoNotOptimize(text);
        SysFreeString(answer);
        SysFreeString(certificate);
        s.forget(++i);
    }
}
BENCHMARK(directCall);

}  // namespace

int main(int argc, char** argv) {
    return bench_rows::runAndPrintRows(
        argc, argv,
        {
            {"adapter call by index (vs the component method called directly)", "adapterByIndex",
             "directCall"},
            {"adapter call by name (vs the component method called directly)", "adapterByName",
             "directCall"},
        });
}
