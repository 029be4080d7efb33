// wmi_comapi_test.cpp
#include "wmi_com.h"
#include "wmi_standin.h"
#include "wmi_testutil.h"

#include <gtest/gtest.h>

#include <thread>

using namespace wmi;
using namespace wmi::standin;
using namespace wmi::test;

namespace {

TEST(ComApiTest, InitialisationCountsPerThreadAndKeepsItsMode) {
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    // Another thread has its own count and mode.
    std::thread other([] {
        EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        CoUninitialize();
        Ref<IWbemLocator> locator;
        EXPECT_EQ(CO_E_NOTINITIALIZED, createLocator(&locator));
    });
    other.join();
    CoUninitialize();
    CoUninitialize();  // balanced: the thread is uninitialised again
    EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    CoUninitialize();
    CoUninitialize();  // one too many is ignored
    EXPECT_EQ(E_INVALIDARG, CoInitializeEx(reinterpret_cast<void*>(1), COINIT_MULTITHREADED));
    setFault(Fault::e_CO_INITIALIZE, E_OUTOFMEMORY);
    EXPECT_EQ(E_OUTOFMEMORY, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    clearFaults();
}

TEST(ComApiTest, SecurityIsSetOncePerProcess) {
    resetProcessSecurity();
    EXPECT_EQ(CO_E_NOTINITIALIZED, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, 0, 3,
                                                        nullptr, EOAC_NONE, nullptr));
    ComScope com;
    setFault(Fault::e_CO_INITIALIZE_SECURITY, E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, 0, 3, nullptr,
                                                   EOAC_NONE, nullptr));
    clearFaults();
    EXPECT_EQ(S_OK, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
    EXPECT_EQ(
        static_cast<HRESULT>(0x80010119u),
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, 0, 3, nullptr, EOAC_NONE, nullptr));
    // Another thread of the same process is too late as well.
    std::thread other([] {
        ComScope c;
        EXPECT_EQ(RPC_E_TOO_LATE, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, 0, 3, nullptr,
                                                       EOAC_NONE, nullptr));
    });
    other.join();
    // Reaching the unsecured apartment (an out-of-process server) fixes
    // security just as well.
    resetProcessSecurity();
    Ref<IUnsecuredApartment> apartment;
    ASSERT_EQ(S_OK,
              CoCreateInstance(CLSID_UnsecuredApartment, nullptr, CLSCTX_LOCAL_SERVER,
                               IID_IUnsecuredApartment, reinterpret_cast<void**>(apartment.out())));
    EXPECT_EQ(RPC_E_TOO_LATE, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, 0, 3, nullptr,
                                                   EOAC_NONE, nullptr));
}

TEST(ComApiTest, CreateInstanceChecksClassContextAndInterface) {
    ComScope com;
    {
        Ref<IWbemLocator> locator;
        EXPECT_EQ(S_OK, createLocator(&locator));
        // QueryInterface follows COM's rules.
        Ref<IUnknown> unknown;
        EXPECT_EQ(S_OK,
                  locator->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.out())));
        Ref<IWbemServices> wrong;
        EXPECT_EQ(E_NOINTERFACE, locator->QueryInterface(IID_IWbemServices,
                                                         reinterpret_cast<void**>(wrong.out())));
        EXPECT_FALSE(wrong);
        EXPECT_EQ(3u, locator->AddRef());  // the test's, the IUnknown one, this one
        EXPECT_EQ(2u, locator->Release());
    }
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_LOCAL_SERVER,
                                                    IID_IWbemLocator, &p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              CoCreateInstance(IID_IWbemServices, nullptr, CLSCTX_ALL, IID_IUnknown, &p));
    EXPECT_EQ(E_NOINTERFACE, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IWbemServices, &p));
    Ref<IWbemLocator> outer;
    ASSERT_EQ(S_OK, createLocator(&outer));
    EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(CLSID_WbemLocator, outer.get(),
                                                      CLSCTX_INPROC_SERVER, IID_IWbemLocator, &p));
    setFault(Fault::e_CREATE_LOCATOR, REGDB_E_CLASSNOTREG);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_WbemLocator, nullptr,
                                                    CLSCTX_INPROC_SERVER, IID_IWbemLocator, &p));
    clearFaults();
    // A proxy blanket needs a proxy of the stand-in.
    EXPECT_EQ(E_INVALIDARG, CoSetProxyBlanket(nullptr, 10, 0, nullptr, 3, 3, nullptr, 0));
    auto* sink = new RecordingSink("x");
    EXPECT_EQ(E_NOINTERFACE, CoSetProxyBlanket(sink, 10, 0, nullptr, 3, 3, nullptr, 0));
    sink->Release();
    outer.reset();
    EXPECT_EQ(0, liveObjects());
}

TEST(ComApiTest, SafeArraysAndVariantsOwnTheirElements) {
    SAFEARRAYBOUND bound{3, 5};
    SAFEARRAY* sa = SafeArrayCreate(VT_BSTR, 1, &bound);
    ASSERT_NE(nullptr, sa);
    EXPECT_EQ(1u, SafeArrayGetDim(sa));
    VARTYPE vt = 0;
    EXPECT_EQ(S_OK, SafeArrayGetVartype(sa, &vt));
    EXPECT_EQ(VT_BSTR, vt);
    LONG lo = 0, hi = 0;
    EXPECT_EQ(S_OK, SafeArrayGetLBound(sa, 1, &lo));
    EXPECT_EQ(S_OK, SafeArrayGetUBound(sa, 1, &hi));
    EXPECT_EQ(5, lo);
    EXPECT_EQ(7, hi);
    EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetLBound(sa, 2, &lo));
    Bstr word = toBstr("w\xc3\xb6rd");
    LONG i = 6;
    EXPECT_EQ(S_OK, SafeArrayPutElement(sa, &i, word.get()));
    BSTR back = nullptr;
    EXPECT_EQ(S_OK, SafeArrayGetElement(sa, &i, &back));
    EXPECT_EQ("w\xc3\xb6rd", fromBstr(back));
    EXPECT_NE(word.get(), back);  // a copy
    SysFreeString(back);
    for (LONG bad : {4, 8, -1}) {
        EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetElement(sa, &bad, &back)) << bad;
    }
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = sa;
    VARIANT copy;
    VariantInit(&copy);
    EXPECT_EQ(S_OK, VariantCopy(&copy, &v));
    EXPECT_NE(v.parray, copy.parray);
    EXPECT_EQ(2, liveArrays());
    void* data = nullptr;
    EXPECT_EQ(S_OK, SafeArrayAccessData(copy.parray, &data));
    EXPECT_EQ(static_cast<HRESULT>(0x8002000Du), VariantClear(&copy));  // locked
    EXPECT_EQ(S_OK, SafeArrayUnaccessData(copy.parray));
    EXPECT_EQ(S_OK, VariantClear(&copy));
    EXPECT_EQ(VT_EMPTY, copy.vt);
    EXPECT_EQ(S_OK, VariantClear(&v));
    word = Bstr();
    EXPECT_EQ(0, liveArrays());
    EXPECT_EQ(0, liveStrings());

    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, 2);
    BYTE b = 0xAB;
    LONG one = 1;
    EXPECT_EQ(S_OK, SafeArrayPutElement(bytes, &one, &b));
    BYTE got = 0;
    EXPECT_EQ(S_OK, SafeArrayGetElement(bytes, &one, &got));
    EXPECT_EQ(0xAB, got);
    EXPECT_EQ(1u, SafeArrayGetElemsize(bytes));
    EXPECT_EQ(S_OK, SafeArrayDestroy(bytes));
    EXPECT_EQ(nullptr, SafeArrayCreateVector(VT_DISPATCH, 0, 1));
}

}  // namespace
