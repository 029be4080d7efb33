// wmi_standin_bench.cpp
//
// What the service pays per call of the stand-in: the three lookups of an
// access event's enrichment against the embedded sample, one event delivery,
// and loading the embedded repository.
#include "wmi_com.h"
#include "wmi_standin.h"

#include <benchmark/benchmark.h>

#include <atomic>

namespace {

using namespace wmi;
using namespace wmi::standin;

struct Session {
    Session() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        d_provider = Provider::acquire();
        d_provider->setEventRate(0);
        d_provider->loadDefaultRepository();
        CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                         reinterpret_cast<void**>(&d_locator));
        Bstr ns = toBstr("root\\AccessControl");
        d_locator->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                 &d_services);
    }
    ~Session() {
        d_services->Release();
        d_locator->Release();
        CoUninitialize();
    }
    // Runs 'wql', reads 'property' of the first instance; the variant type.
    VARTYPE firstValue(const std::string& wql, const char* property) {
        Bstr lang = toBstr("WQL");
        Bstr text = toBstr(wql);
        IEnumWbemClassObject* en = nullptr;
        d_services->ExecQuery(lang.get(), text.get(), 0x30, nullptr, &en);
        IWbemClassObject* obj = nullptr;
        ULONG n = 0;
        en->Next(WBEM_INFINITE, 1, &obj, &n);
        VARTYPE vt = VT_EMPTY;
        if (n == 1) {
            VARIANT v;
            VariantInit(&v);
            Bstr name = toBstr(property);
            obj->Get(name.get(), 0, &v, nullptr, nullptr);
            vt = v.vt;
            VariantClear(&v);
            obj->Release();
        }
        en->Release();
        return vt;
    }
    std::shared_ptr<Provider> d_provider;
    IWbemLocator* d_locator = nullptr;
    IWbemServices* d_services = nullptr;
};

void BM_EnrichmentLookups(benchmark::State& state) {
    Session s;
    int i = 0;
    for (auto _ : state) {
        const int badge = 1 + i++ % 40;
        const std::string person = std::to_string(badge);
        benchmark::DoNotOptimize(s.firstValue(
            "SELECT * FROM Lnl_Badge WHERE id = '" + std::to_string(100000 + badge * 37) + "'",
            "personid"));
        benchmark::DoNotOptimize(
            s.firstValue("SELECT * FROM Lnl_MultimediaObject WHERE PersonID = '" + person +
                             "' AND DataType = '0' AND ObjectType = '1'",
                         "Data"));
        benchmark::DoNotOptimize(
            s.firstValue("SELECT * FROM Lnl_Person WHERE ID = '" + person + "'", "lastname"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnrichmentLookups);

class CountingSink : public IWbemObjectSink {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Indicate(long n, IWbemClassObject**) override {
        d_objects += n;
        return 0;
    }
    HRESULT STDMETHODCALLTYPE SetStatus(long, HRESULT, BSTR, IWbemClassObject*) override {
        return 0;
    }
    std::atomic<long> d_objects{0};
};

void BM_EventDelivery(benchmark::State& state) {
    Session s;
    CountingSink sink;
    Bstr lang = toBstr("WQL");
    Bstr q = toBstr("SELECT * FROM Lnl_AccessEvent");
    s.d_services->ExecNotificationQueryAsync(lang.get(), q.get(), 0x80, nullptr, &sink);
    const std::shared_ptr<const Repository> repo = s.d_provider->repository();
    const Namespace* ns = repo->findNamespace("root\\AccessControl");
    auto inst = std::make_shared<Instance>();
    inst->d_class = ns->findClass("Lnl_AccessEvent");
    inst->d_values.resize(inst->d_class->d_properties.size());
    inst->d_values[inst->d_class->findProperty("CardNumber")] = Value::scalar(int64_t{100037});
    for (auto _ : state) {
        s.d_provider->raise("root\\AccessControl", {inst});
        s.d_provider->waitForDeliveries(std::chrono::seconds(10));
    }
    s.d_services->CancelAsyncCall(&sink);
    state.SetItemsProcessed(sink.d_objects.load());
}
BENCHMARK(BM_EventDelivery);

void BM_LoadEmbeddedRepository(benchmark::State& state) {
    const std::string& text = defaultRepositoryText();
    for (auto _ : state) {
        Repository repo;
        MofError error;
        benchmark::DoNotOptimize(parseRepository(text, &repo, &error));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LoadEmbeddedRepository);

}  // namespace
