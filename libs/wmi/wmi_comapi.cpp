// wmi_comapi.cpp
//
// The free COM functions of the stand-in: apartment bookkeeping, process
// security, object creation, BSTR, VARIANT and SAFEARRAY handling.
#include "wmi_com.h"
#include "wmi_objects.h"
#include "wmi_services.h"
#include "wmi_standin.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IWbemLocator = {
    0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemServices = {
    0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};
const IID IID_IWbemClassObject = {
    0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IEnumWbemClassObject = {
    0x027947E1, 0xD731, 0x11CE, {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
const IID IID_IWbemObjectSink = {
    0x7C857801, 0x7381, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IUnsecuredApartment = {
    0x1CFABA8C, 0x1523, 0x11D1, {0xAD, 0x79, 0x00, 0xC0, 0x4F, 0xD8, 0xFD, 0xFF}};
const IID IID_IWbemUnsecuredApartment = {
    0x31739D04, 0x3471, 0x4CF4, {0x9A, 0x7C, 0x57, 0xA4, 0x4A, 0xE7, 0x19, 0x56}};
const IID IID_IWbemCallResult = {
    0x44ACA675, 0xE8FC, 0x11D0, {0xA0, 0x7C, 0x00, 0xC0, 0x4F, 0xB6, 0x88, 0x20}};
const CLSID CLSID_WbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const CLSID CLSID_UnsecuredApartment = {
    0x49BD2028, 0x1523, 0x11D1, {0xAD, 0x79, 0x00, 0xC0, 0x4F, 0xD8, 0xFD, 0xFF}};

namespace wmi::standin {

namespace {

std::atomic<int> s_live_strings{0};
std::atomic<int> s_live_arrays{0};
std::atomic<bool> s_security_set{false};
std::atomic<HRESULT> s_faults[static_cast<int>(Fault::e_COUNT)];

struct ThreadApartment {
    int d_count = 0;
    DWORD d_mode = 0;
};
thread_local ThreadApartment t_apartment;

}  // namespace

void setFault(Fault which, HRESULT code) {
    s_faults[static_cast<int>(which)].store(code);
}

void clearFaults() {
    for (auto& f : s_faults) {
        f.store(S_OK);
    }
}

HRESULT fault(Fault which) {
    return s_faults[static_cast<int>(which)].load();
}

int liveObjects() {
    return liveObjectCounter().load();
}
int liveStrings() {
    return s_live_strings.load();
}
int liveArrays() {
    return s_live_arrays.load();
}

void resetProcessSecurity() {
    s_security_set.store(false);
}

void markSecurityInitialised() {
    s_security_set.store(true);
}

bool comInitialisedOnThisThread() {
    return t_apartment.d_count > 0;
}

}  // namespace wmi::standin

using namespace wmi::standin;

// ---------------------------------------------------------------- COM
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    if (pvReserved != nullptr) {
        return E_INVALIDARG;
    }
    if (const HRESULT f = fault(Fault::e_CO_INITIALIZE); f != S_OK) {
        return f;
    }
    const DWORD mode = dwCoInit & COINIT_APARTMENTTHREADED;
    ThreadApartment& a = t_apartment;
    if (a.d_count == 0) {
        a.d_mode = mode;
        a.d_count = 1;
        return S_OK;
    }
    if (a.d_mode != mode) {
        return RPC_E_CHANGED_MODE;
    }
    ++a.d_count;
    return S_FALSE;
}

void CoUninitialize() {
    if (t_apartment.d_count > 0) {
        --t_apartment.d_count;
    }
}

HRESULT CoInitializeSecurity(PSECURITY_DESCRIPTOR, LONG, SOLE_AUTHENTICATION_SERVICE*, void*, DWORD,
                             DWORD, void*, DWORD, void*) {
    if (!comInitialisedOnThisThread()) {
        return CO_E_NOTINITIALIZED;
    }
    if (const HRESULT f = fault(Fault::e_CO_INITIALIZE_SECURITY); f != S_OK) {
        return f;
    }
    return s_security_set.exchange(true) ? RPC_E_TOO_LATE : S_OK;
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!comInitialisedOnThisThread()) {
        return CO_E_NOTINITIALIZED;
    }
    if (pUnkOuter != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    IUnknown* created = nullptr;
    if (rclsid == CLSID_WbemLocator && (dwClsContext & CLSCTX_INPROC_SERVER) != 0) {
        if (const HRESULT f = fault(Fault::e_CREATE_LOCATOR); f != S_OK) {
            return f;
        }
        created = createLocator();
    } else if (rclsid == CLSID_UnsecuredApartment && (dwClsContext & CLSCTX_LOCAL_SERVER) != 0) {
        if (const HRESULT f = fault(Fault::e_CREATE_APARTMENT); f != S_OK) {
            return f;
        }
        // Reaching an out-of-process server fixes the process's security.
        markSecurityInitialised();
        created = createApartment();
    } else {
        return REGDB_E_CLASSNOTREG;
    }
    const HRESULT hr = created->QueryInterface(riid, ppv);
    created->Release();
    return hr;
}

HRESULT CoSetProxyBlanket(IUnknown* pProxy, DWORD, DWORD, OLECHAR*, DWORD, DWORD,
                          RPC_AUTH_IDENTITY_HANDLE, DWORD) {
    if (pProxy == nullptr) {
        return E_INVALIDARG;
    }
    if (dynamic_cast<ComObjectBase*>(pProxy) == nullptr) {
        return E_NOINTERFACE;  // not a proxy of ours
    }
    return fault(Fault::e_PROXY_BLANKET);
}

// ---------------------------------------------------------------- BSTR
// A BSTR points just after a 32-bit byte count and is followed by a zero.
BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    const size_t bytes = static_cast<size_t>(ui) * sizeof(OLECHAR);
    char* block = static_cast<char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(OLECHAR)));
    if (block == nullptr) {
        return nullptr;
    }
    const uint32_t count = static_cast<uint32_t>(bytes);
    std::memcpy(block, &count, sizeof count);
    BSTR out = reinterpret_cast<BSTR>(block + sizeof(uint32_t));
    if (strIn != nullptr) {
        std::memcpy(out, strIn, bytes);
    } else {
        std::memset(out, 0, bytes);
    }
    out[ui] = 0;
    s_live_strings.fetch_add(1);
    return out;
}

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) {
        return nullptr;
    }
    UINT n = 0;
    while (psz[n] != 0) {
        ++n;
    }
    return SysAllocStringLen(psz, n);
}

void SysFreeString(BSTR bstrString) {
    if (bstrString != nullptr) {
        s_live_strings.fetch_sub(1);
        std::free(reinterpret_cast<char*>(bstrString) - sizeof(uint32_t));
    }
}

UINT SysStringByteLen(BSTR bstr) {
    if (bstr == nullptr) {
        return 0;
    }
    uint32_t count;
    std::memcpy(&count, reinterpret_cast<char*>(bstr) - sizeof(uint32_t), sizeof count);
    return count;
}

UINT SysStringLen(BSTR pbstr) {
    return SysStringByteLen(pbstr) / sizeof(OLECHAR);
}

// ---------------------------------------------------------------- SAFEARRAY
namespace {

// The element type travels in front of the descriptor, as the platform keeps it.
struct ArrayBlock {
    VARTYPE d_vt;
    SAFEARRAY d_sa;
};

ArrayBlock* blockOf(SAFEARRAY* psa) {
    return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(psa) - offsetof(ArrayBlock, d_sa));
}

ULONG elementSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
            return 8;
        case VT_BSTR:
            return sizeof(BSTR);
        case VT_UNKNOWN:
            return sizeof(IUnknown*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        default:
            return 0;
    }
}

HRESULT elementAddress(SAFEARRAY* psa, LONG* rgIndices, char** out) {
    if (psa == nullptr || rgIndices == nullptr) {
        return E_INVALIDARG;
    }
    const LONG offset = rgIndices[0] - psa->rgsabound[0].lLbound;
    if (offset < 0 || static_cast<ULONG>(offset) >= psa->rgsabound[0].cElements) {
        return DISP_E_BADINDEX;
    }
    *out = static_cast<char*>(psa->pvData) + static_cast<size_t>(offset) * psa->cbElements;
    return S_OK;
}

}  // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    // One dimension is all WMI values use.
    if (cDims != 1 || rgsabound == nullptr) {
        return nullptr;
    }
    return SafeArrayCreateVector(vt, rgsabound[0].lLbound, rgsabound[0].cElements);
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    const ULONG size = elementSize(vt);
    if (size == 0) {
        return nullptr;
    }
    auto* block = new ArrayBlock{};
    block->d_vt = vt;
    SAFEARRAY* sa = &block->d_sa;
    sa->cDims = 1;
    sa->cbElements = size;
    sa->rgsabound[0].cElements = cElements;
    sa->rgsabound[0].lLbound = lLbound;
    sa->pvData = std::calloc(cElements == 0 ? 1 : cElements, size);
    s_live_arrays.fetch_add(1);
    return sa;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (psa == nullptr) {
        return S_OK;
    }
    if (psa->cLocks > 0) {
        return (HRESULT)0x8002000Du;  // DISP_E_ARRAYISLOCKED
    }
    const VARTYPE vt = blockOf(psa)->d_vt;
    const bool owning = vt == VT_BSTR || vt == VT_VARIANT || vt == VT_UNKNOWN;
    for (ULONG i = 0; owning && i < psa->rgsabound[0].cElements; ++i) {
        char* p = static_cast<char*>(psa->pvData) + static_cast<size_t>(i) * psa->cbElements;
        if (vt == VT_BSTR) {
            SysFreeString(*reinterpret_cast<BSTR*>(p));
        } else if (vt == VT_VARIANT) {
            VariantClear(reinterpret_cast<VARIANT*>(p));
        } else if (vt == VT_UNKNOWN && *reinterpret_cast<IUnknown**>(p) != nullptr) {
            (*reinterpret_cast<IUnknown**>(p))->Release();
        }
    }
    std::free(psa->pvData);
    delete blockOf(psa);
    s_live_arrays.fetch_sub(1);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (ppsaOut == nullptr) {
        return E_INVALIDARG;
    }
    *ppsaOut = nullptr;
    if (psa == nullptr) {
        return S_OK;
    }
    const VARTYPE vt = blockOf(psa)->d_vt;
    SAFEARRAY* copy =
        SafeArrayCreateVector(vt, psa->rgsabound[0].lLbound, psa->rgsabound[0].cElements);
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
        LONG index = psa->rgsabound[0].lLbound + static_cast<LONG>(i);
        char* p = static_cast<char*>(psa->pvData) + static_cast<size_t>(i) * psa->cbElements;
        SafeArrayPutElement(copy, &index,
                            vt == VT_BSTR ? *reinterpret_cast<BSTR*>(p) : static_cast<void*>(p));
    }
    *ppsaOut = copy;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) {
    return psa == nullptr ? 0 : psa->cDims;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
    return psa == nullptr ? 0 : psa->cbElements;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (psa == nullptr || pvt == nullptr) {
        return E_INVALIDARG;
    }
    *pvt = blockOf(psa)->d_vt;
    return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (psa == nullptr || plLbound == nullptr) {
        return E_INVALIDARG;
    }
    if (nDim != 1) {
        return DISP_E_BADINDEX;
    }
    *plLbound = psa->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (psa == nullptr || plUbound == nullptr) {
        return E_INVALIDARG;
    }
    if (nDim != 1) {
        return DISP_E_BADINDEX;
    }
    *plUbound = psa->rgsabound[0].lLbound + static_cast<LONG>(psa->rgsabound[0].cElements) - 1;
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    char* p = nullptr;
    if (const HRESULT hr = elementAddress(psa, rgIndices, &p); FAILED(hr)) {
        return hr;
    }
    if (pv == nullptr) {
        return E_INVALIDARG;
    }
    const VARTYPE vt = blockOf(psa)->d_vt;
    if (vt == VT_BSTR) {
        BSTR s = *reinterpret_cast<BSTR*>(p);
        *static_cast<BSTR*>(pv) = s == nullptr ? nullptr : SysAllocStringLen(s, SysStringLen(s));
    } else if (vt == VT_VARIANT) {
        VariantInit(static_cast<VARIANT*>(pv));
        return VariantCopy(static_cast<VARIANT*>(pv), reinterpret_cast<VARIANT*>(p));
    } else {
        std::memcpy(pv, p, psa->cbElements);
        if (vt == VT_UNKNOWN && *static_cast<IUnknown**>(pv) != nullptr) {
            (*static_cast<IUnknown**>(pv))->AddRef();
        }
    }
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    char* p = nullptr;
    if (const HRESULT hr = elementAddress(psa, rgIndices, &p); FAILED(hr)) {
        return hr;
    }
    const VARTYPE vt = blockOf(psa)->d_vt;
    if (vt == VT_BSTR) {
        // For BSTR arrays 'pv' is the string itself.
        BSTR in = static_cast<BSTR>(pv);
        SysFreeString(*reinterpret_cast<BSTR*>(p));
        *reinterpret_cast<BSTR*>(p) =
            in == nullptr ? nullptr : SysAllocStringLen(in, SysStringLen(in));
    } else if (pv == nullptr) {
        return E_INVALIDARG;
    } else if (vt == VT_VARIANT) {
        return VariantCopy(reinterpret_cast<VARIANT*>(p), static_cast<VARIANT*>(pv));
    } else if (vt == VT_UNKNOWN) {
        IUnknown* in = static_cast<IUnknown*>(pv);
        in->AddRef();
        if (*reinterpret_cast<IUnknown**>(p) != nullptr) {
            (*reinterpret_cast<IUnknown**>(p))->Release();
        }
        *reinterpret_cast<IUnknown**>(p) = in;
    } else {
        std::memcpy(p, pv, psa->cbElements);
    }
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (psa == nullptr || ppvData == nullptr) {
        return E_INVALIDARG;
    }
    ++psa->cLocks;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    if (psa == nullptr) {
        return E_INVALIDARG;
    }
    if (psa->cLocks == 0) {
        return E_UNEXPECTED;
    }
    --psa->cLocks;
    return S_OK;
}

// ---------------------------------------------------------------- VARIANT
void VariantInit(VARIANTARG* pvarg) {
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
    pvarg->llVal = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (pvarg == nullptr) {
        return E_INVALIDARG;
    }
    if ((pvarg->vt & VT_ARRAY) != 0) {
        if (const HRESULT hr = SafeArrayDestroy(pvarg->parray); FAILED(hr)) {
            return hr;
        }
    } else if (pvarg->vt == VT_BSTR) {
        SysFreeString(pvarg->bstrVal);
    } else if (pvarg->vt == VT_UNKNOWN && pvarg->punkVal != nullptr) {
        pvarg->punkVal->Release();
    }
    VariantInit(pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr) {
        return E_INVALIDARG;
    }
    if (pvargDest == pvargSrc) {
        return S_OK;
    }
    if (const HRESULT hr = VariantClear(pvargDest); FAILED(hr)) {
        return hr;
    }
    *pvargDest = *pvargSrc;
    if ((pvargSrc->vt & VT_ARRAY) != 0) {
        return SafeArrayCopy(pvargSrc->parray, &pvargDest->parray);
    }
    if (pvargSrc->vt == VT_BSTR && pvargSrc->bstrVal != nullptr) {
        pvargDest->bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
    } else if (pvargSrc->vt == VT_UNKNOWN && pvargSrc->punkVal != nullptr) {
        pvargSrc->punkVal->AddRef();
    }
    return S_OK;
}
