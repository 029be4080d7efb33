// wmi_objects.h                                                    -*-C++-*-
//
// The stand-in's COM objects that carry data: 'ClassObject' (an
// IWbemClassObject for a class, an instance, or a method's __PARAMETERS) and
// 'Enumerator' (the IEnumWbemClassObject of a query), with the shared
// reference-counting base 'ComObject' that counts every live stand-in object
// (wmi_standin.h, 'liveObjects').
//
// Internal to the library.  Every object may be called from any thread; an
// object's own state is guarded by its own mutex.
#ifndef INCLUDED_WMI_OBJECTS
#define INCLUDED_WMI_OBJECTS

#include "wmi_com.h"
#include "wmi_repository.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace wmi::standin {

// The number of stand-in COM objects alive.
std::atomic<int>& liveObjectCounter();

// Marks every stand-in object, so that foreign interfaces can be told apart
// (for example by CoSetProxyBlanket).
class ComObjectBase {
  public:
    ComObjectBase() { liveObjectCounter().fetch_add(1); }
    virtual ~ComObjectBase() { liveObjectCounter().fetch_sub(1); }
    ComObjectBase(const ComObjectBase&) = delete;
    ComObjectBase& operator=(const ComObjectBase&) = delete;
};

template <class Interface>
const IID& iidOf();
template <>
inline const IID& iidOf<IWbemClassObject>() {
    return IID_IWbemClassObject;
}
template <>
inline const IID& iidOf<IEnumWbemClassObject>() {
    return IID_IEnumWbemClassObject;
}
template <>
inline const IID& iidOf<IWbemServices>() {
    return IID_IWbemServices;
}
template <>
inline const IID& iidOf<IWbemLocator>() {
    return IID_IWbemLocator;
}
template <>
inline const IID& iidOf<IUnsecuredApartment>() {
    return IID_IUnsecuredApartment;
}
template <>
inline const IID& iidOf<IWbemUnsecuredApartment>() {
    return IID_IWbemUnsecuredApartment;
}
template <>
inline const IID& iidOf<IWbemObjectSink>() {
    return IID_IWbemObjectSink;
}
template <>
inline const IID& iidOf<IWbemCallResult>() {
    return IID_IWbemCallResult;
}

// IUnknown for one interface; created with count 1 (the creator's reference).
template <class Interface>
class ComObject : public Interface, public ComObjectBase {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == iidOf<Interface>()) {
            AddRef();
            *ppv = static_cast<Interface*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++d_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --d_refs;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  protected:
    ComObject() = default;

  private:
    std::atomic<ULONG> d_refs{1};
};

class ClassObject final : public ComObject<IWbemClassObject> {
  public:
    // CREATORS
    // A new class object (defaults as values) with one reference.
    static ClassObject* newClass(std::shared_ptr<const ClassDecl> cls);
    // A new instance object with one reference.  It reads the values of
    // 'instance' in place and copies them only when one is written.
    static ClassObject* newInstance(std::shared_ptr<const Instance> instance);
    static ClassObject* newInstance(std::shared_ptr<const ClassDecl> cls,
                                    std::vector<Value> values);

    // ACCESSORS
    const std::shared_ptr<const ClassDecl>& decl() const { return d_class; }
    bool isInstance() const { return d_is_instance; }
    // A copy of the current values, by property index.
    std::vector<Value> values() const;

    // IWbemClassObject
    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** ppQualSet) override;
    HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, long lFlags, VARIANT* pVal, CIMTYPE* pType,
                                  long* plFlavor) override;
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR wszName, long lFlags, VARIANT* pVal,
                                  CIMTYPE Type) override;
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR wszName) override;
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR wszQualifierName, long lFlags,
                                       VARIANT* pQualifierVal, SAFEARRAY** pNames) override;
    HRESULT STDMETHODCALLTYPE BeginEnumeration(long lEnumFlags) override;
    HRESULT STDMETHODCALLTYPE Next(long lFlags, BSTR* strName, VARIANT* pVal, CIMTYPE* pType,
                                   long* plFlavor) override;
    HRESULT STDMETHODCALLTYPE EndEnumeration() override;
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR wszProperty,
                                                      IWbemQualifierSet** ppQualSet) override;
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** ppCopy) override;
    HRESULT STDMETHODCALLTYPE GetObjectText(long lFlags, BSTR* pstrObjectText) override;
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(long lFlags,
                                                IWbemClassObject** ppNewClass) override;
    HRESULT STDMETHODCALLTYPE SpawnInstance(long lFlags, IWbemClassObject** ppNewInstance) override;
    HRESULT STDMETHODCALLTYPE CompareTo(long lFlags, IWbemClassObject* pCompareTo) override;
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) override;
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR strAncestor) override;
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR wszName, long lFlags,
                                        IWbemClassObject** ppInSignature,
                                        IWbemClassObject** ppOutSignature) override;
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR wszName, long lFlags,
                                        IWbemClassObject* pInSignature,
                                        IWbemClassObject* pOutSignature) override;
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR wszName) override;
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(long lEnumFlags) override;
    HRESULT STDMETHODCALLTYPE NextMethod(long lFlags, BSTR* pstrName,
                                         IWbemClassObject** ppInSignature,
                                         IWbemClassObject** ppOutSignature) override;
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override;
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR wszMethod,
                                                    IWbemQualifierSet** ppQualSet) override;
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR wszMethodName, BSTR* pstrClassName) override;

  private:
    ClassObject(std::shared_ptr<const ClassDecl> cls, bool instance,
                std::shared_ptr<const std::vector<Value>> values);
    // Fills the value of a system property; false when 'name' is none.
    bool getSystemProperty(std::string_view name, VARIANT* out, CIMTYPE* type) const;
    std::string relPath() const;  // under d_mutex

    std::shared_ptr<const ClassDecl> d_class;
    bool d_is_instance;
    mutable std::mutex d_mutex;
    // Shared with the repository's instance until 'Put' writes one; from
    // then on this object's own copy, 'd_own_values'.
    std::shared_ptr<const std::vector<Value>> d_values;
    std::shared_ptr<std::vector<Value>> d_own_values;
    size_t d_enum_pos = 0;
    bool d_enumerating = false;
    size_t d_method_pos = 0;
};

// The result of ExecQuery: the matching instances, fetched one 'Next' at a time.
class Enumerator final : public ComObject<IEnumWbemClassObject> {
  public:
    // Every 'Next' takes 'latencyMs' of the provider's time, the first one
    // 'firstWaitMs' more (the query itself, when ExecQuery returned at once).
    // A 'Next' whose time-out ends first answers WBEM_S_TIMEDOUT with
    // nothing; the provider's work goes on, so the next call waits only for
    // the rest.
    Enumerator(std::vector<std::shared_ptr<const Instance>> results, int latencyMs,
               bool forwardOnly, int firstWaitMs = 0);

    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Next(long lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                   ULONG* puReturned) override;
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG uCount, IWbemObjectSink* pSink) override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** ppEnum) override;
    HRESULT STDMETHODCALLTYPE Skip(long lTimeout, ULONG nCount) override;

  private:
    std::vector<std::shared_ptr<const Instance>> d_results;
    int d_latency_ms;
    bool d_forward_only;
    std::mutex d_mutex;
    size_t d_pos = 0;
    int d_pending_ms;  // of the provider's work before the next object
};

// Sleeps for a provider's simulated latency.
void simulateLatency(int ms);

// Process security is fixed from now on (later CoInitializeSecurity calls
// answer RPC_E_TOO_LATE), as after the first marshalled interface.
void markSecurityInitialised();
// True when the calling thread has called CoInitializeEx more often than
// CoUninitialize.
bool comInitialisedOnThisThread();

}  // namespace wmi::standin

#endif
