// wmi_testutil.h                                                   -*-C++-*-
//
// Helpers for the stand-in's tests (header only): the shared test
// repository, a short name for the owning interface reference of
// wmi_comptr.h, a recording event sink, and short forms of the calls the
// service makes (connect, query, read a property as text).
//
// Thread safety: 'RecordingSink' may be called from any thread; the rest is
// for the test's own thread.
#ifndef INCLUDED_WMI_TESTUTIL
#define INCLUDED_WMI_TESTUTIL

#include "wmi_com.h"
#include "wmi_comptr.h"
#include "wmi_standin.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wmi::test {

template <class T>
using Ref = ComPtr<T>;

// The schema and instances the stand-in's tests share: namespace root\Test
// with a class of every type, keyed and method classes, fault qualifiers and
// an event hierarchy.
inline constexpr char k_TEST_REPOSITORY[] = R"(
#pragma namespace("\\\\.\\root\\Test")
class Thing {
    [key] string Name;
    string Text;
    boolean Flag;
    sint8 S8;  uint8 U8;  sint16 S16;  uint16 U16;
    sint32 S32;  uint32 U32;  sint64 S64;  uint64 U64;
    real32 R32;  real64 R64;  datetime When;  char16 Letter;
    uint8 Bytes[];  sint32 Numbers[];  string Words[];
    string Nothing;
};
instance of Thing {
    Name = "full"; Text = "h\xe9llo \"q\""; Flag = true;
    S8 = -8; U8 = 200; S16 = -1600; U16 = 60000; S32 = -32; U32 = 4000000000;
    S64 = -9000000000; U64 = 18000000000000000000; R32 = 1.5; R64 = -2.25;
    When = "20260102030405.000000+000"; Letter = "Z";
    Bytes = {0, 1, 0xFF}; Numbers = {-1, 2}; Words = {"a", "b"};
};
instance of Thing { Name = "Other"; Text = "OTHER"; U32 = 7; Flag = false; };
instance of Thing { Name = "third"; Text = "other"; U32 = 7; Bytes = {}; };

class Account {
    [key] sint32 Id;
    [key] string Region;
    string Owner;
    uint32 Deposit([in] uint32 Amount, [in, out] string Note, [out] sint64 Balance);
    [ExecError(0x80041024)] uint32 Close();
    void Touch();
};
instance of Account { Id = 12; Region = "eu"; Owner = "Ann"; };

class DepositArgs { string Amount; string Note; };
[QueryError(0x80041003)] class Secret { [key] uint32 Id; };
[LatencyMs(7)] class Slow { [key] uint32 Id; [LatencyMs(600000)] uint32 Hang(); };
instance of Slow { Id = 1; };
instance of Slow { Id = 2; };

class Alarm : __ExtrinsicEvent { sint64 CardNumber; string Zone; };
class Fire : Alarm { uint32 Level; };
[SubscribeError(0x80041003)] class Forbidden : __ExtrinsicEvent { uint32 Id; };
[SubscribeError(0x80041001)] class Broken : __ExtrinsicEvent { uint32 Id; };
)";

// 'k_TEST_REPOSITORY' read, for tests of the data components.
inline std::shared_ptr<const standin::Repository> testRepository() {
    auto repo = std::make_shared<standin::Repository>();
    standin::MofError error;
    if (!standin::parseRepository(k_TEST_REPOSITORY, repo.get(), &error)) {
        std::fprintf(stderr, "test repository refused: %s\n", error.text().c_str());
        std::abort();
    }
    return repo;
}

// The text of property 'name' of 'obj' as the service reads it: BSTR as
// text, integers of at most 32 bits with %d, VT_BOOL as true/false, VT_NULL
// as "<null>"; "<vt N>" for anything else, "<error 0x...>" when Get fails.
inline std::string propertyText(IWbemClassObject* obj, const char* name) {
    VARIANT v;
    VariantInit(&v);
    Bstr wide = toBstr(name);
    const HRESULT hr = obj->Get(wide.get(), 0, &v, nullptr, nullptr);
    if (FAILED(hr)) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "<error 0x%x>", static_cast<unsigned>(hr));
        return buf;
    }
    std::string out;
    switch (v.vt) {
        case VT_BSTR:
            out = fromBstr(v.bstrVal);
            break;
        case VT_I2:
            out = std::to_string(v.iVal);
            break;
        case VT_I4:
            out = std::to_string(v.lVal);
            break;
        case VT_UI1:
            out = std::to_string(v.bVal);
            break;
        case VT_BOOL:
            out = v.boolVal ? "true" : "false";
            break;
        case VT_NULL:
            out = "<null>";
            break;
        default:
            out = "<vt " + std::to_string(v.vt) + ">";
    }
    VariantClear(&v);
    return out;
}

// VARIANTs the caller owns (VariantClear), as a client passes them to Put.
inline VARIANT textVariant(const std::string& text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = toBstr(text).release();
    return v;
}
inline VARIANT intVariant(LONG n) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = n;
    return v;
}

// COM initialised on the calling thread for the life of the object.
class ComScope {
  public:
    ComScope() { d_hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComScope() {
        if (SUCCEEDED(d_hr)) {
            CoUninitialize();
        }
    }
    HRESULT result() const { return d_hr; }

  private:
    HRESULT d_hr;
};

inline HRESULT createLocator(Ref<IWbemLocator>* out) {
    return CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                            reinterpret_cast<LPVOID*>(out->out()));
}

inline HRESULT connect(IWbemLocator* locator, const std::string& path, Ref<IWbemServices>* out) {
    Bstr wide = toBstr(path);
    return locator->ConnectServer(wide.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                  out->out());
}

// Runs 'wql' and collects every instance; the HRESULT of ExecQuery.
inline HRESULT query(IWbemServices* services, const std::string& wql,
                     std::vector<Ref<IWbemClassObject>>* out) {
    out->clear();
    Bstr lang = toBstr("WQL");
    Bstr text = toBstr(wql);
    Ref<IEnumWbemClassObject> en;
    const HRESULT hr = services->ExecQuery(lang.get(), text.get(),
                                           WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                           nullptr, en.out());
    if (FAILED(hr)) {
        return hr;
    }
    for (;;) {
        IWbemClassObject* obj = nullptr;
        ULONG returned = 0;
        en->Next(WBEM_INFINITE, 1, &obj, &returned);
        if (returned == 0) {
            break;
        }
        out->emplace_back(obj);
    }
    return hr;
}

// An event sink that records what it is given.
class RecordingSink : public IWbemObjectSink {
  public:
    struct Delivery {
        std::thread::id d_thread;
        std::vector<std::string> d_values;  // 'd_property' of each object
    };

    explicit RecordingSink(std::string property) : d_property(std::move(property)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IWbemObjectSink) {
            AddRef();
            *ppv = static_cast<IWbemObjectSink*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    // Counted the way the service's sink counts.
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&d_refs); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&d_refs);
        if (left == 0) {
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE Indicate(long count, IWbemClassObject** objects) override {
        Delivery d;
        d.d_thread = std::this_thread::get_id();
        for (long i = 0; i < count; ++i) {
            d.d_values.push_back(propertyText(objects[i], d_property.c_str()));
        }
        if (d_indicate_hook) {
            d_indicate_hook();
        }
        std::lock_guard<std::mutex> lock(d_mutex);
        d_deliveries.push_back(std::move(d));
        d_cv.notify_all();
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE SetStatus(long flags, HRESULT hr, BSTR, IWbemClassObject*) override {
        std::lock_guard<std::mutex> lock(d_mutex);
        d_statuses.emplace_back(flags, hr);
        d_cv.notify_all();
        return WBEM_S_NO_ERROR;
    }

    // Waits (bounded) until at least 'n' deliveries arrived.
    bool waitFor(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(d_mutex);
        return d_cv.wait_for(lock, limit, [&] { return d_deliveries.size() >= n; });
    }
    std::vector<Delivery> deliveries() {
        std::lock_guard<std::mutex> lock(d_mutex);
        return d_deliveries;
    }
    std::vector<std::pair<long, HRESULT>> statuses() {
        std::lock_guard<std::mutex> lock(d_mutex);
        return d_statuses;
    }
    ULONG refs() const { return __atomic_load_n(&d_refs, __ATOMIC_SEQ_CST); }

    // Called inside every Indicate (before it is recorded).
    std::function<void()> d_indicate_hook;

  private:
    std::string d_property;
    LONG d_refs = 1;
    std::mutex d_mutex;
    std::condition_variable d_cv;
    std::vector<Delivery> d_deliveries;
    std::vector<std::pair<long, HRESULT>> d_statuses;
};

}  // namespace wmi::test

#endif
