// wmi_standin_test.cpp
//
// Drives the stand-in through the COM/WMI interfaces the way the service
// does: connect, query, iterate, read, execute methods, subscribe.
#include "wmi_standin.h"
#include "wmi_testutil.h"

#include "testsupport_logcapture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace wmi;
using namespace wmi::standin;
using namespace wmi::test;

namespace {

class StandInTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clearFaults();
        resetProcessSecurity();
        d_provider = Provider::acquire();
        d_provider->setEventRate(0);
        MofError error;
        ASSERT_TRUE(d_provider->loadRepository(k_TEST_REPOSITORY, &error)) << error.text();
        ASSERT_EQ(S_OK, d_com.result());
        ASSERT_EQ(S_OK, createLocator(&d_locator));
        ASSERT_EQ(S_OK, connect(d_locator.get(), "root\\Test", &d_services));
    }
    void TearDown() override {
        d_services.reset();
        d_locator.reset();
        d_provider.reset();
        clearFaults();
        EXPECT_EQ(0, liveObjects());
        EXPECT_EQ(0, liveStrings());
        EXPECT_EQ(0, liveArrays());
    }

    Ref<IWbemClassObject> getObject(const std::string& path, HRESULT* hr) {
        Ref<IWbemClassObject> obj;
        Bstr p = toBstr(path);
        *hr = d_services->GetObject(p.get(), 0, nullptr, obj.out(), nullptr);
        return obj;
    }

    HRESULT execMethod(const std::string& path, const std::string& method, IWbemClassObject* in,
                       Ref<IWbemClassObject>* out) {
        Bstr p = toBstr(path);
        Bstr m = toBstr(method);
        return d_services->ExecMethod(p.get(), m.get(), 0, nullptr, in, out->out(), nullptr);
    }

    // GetObject, GetMethod, SpawnInstance, Put of each (name, variant) pair.
    Ref<IWbemClassObject> inputs(const std::string& cls, const std::string& method,
                                 std::vector<std::pair<std::string, VARIANT>> args) {
        HRESULT hr;
        Ref<IWbemClassObject> classObject = getObject(cls, &hr);
        EXPECT_EQ(S_OK, hr);
        Ref<IWbemClassObject> signature;
        Bstr m = toBstr(method);
        EXPECT_EQ(S_OK, classObject->GetMethod(m.get(), 0, signature.out(), nullptr));
        Ref<IWbemClassObject> in;
        EXPECT_EQ(S_OK, signature->SpawnInstance(0, in.out()));
        for (auto& [name, v] : args) {
            Bstr n = toBstr(name);
            in->Put(n.get(), 0, &v, 0);
            VariantClear(&v);
        }
        return in;
    }

    static VARIANT str(const std::string& s) { return textVariant(s); }
    static VARIANT i4(LONG n) { return intVariant(n); }

    ComScope d_com;
    std::shared_ptr<Provider> d_provider;
    Ref<IWbemLocator> d_locator;
    Ref<IWbemServices> d_services;
};

TEST_F(StandInTest, ConnectServerAnswersAsThePlatform) {
    // Namespace forms are the repository's (wmi_repository_test.cpp).
    for (const char* path : {"ROOT/test", "\\\\localhost\\Root\\Test"}) {
        Ref<IWbemServices> s;
        EXPECT_EQ(S_OK, connect(d_locator.get(), path, &s)) << path;
        EXPECT_TRUE(s) << path;
    }
    Ref<IWbemServices> missing;
    EXPECT_EQ(WBEM_E_INVALID_NAMESPACE, connect(d_locator.get(), "root\\Nope", &missing));
    EXPECT_FALSE(missing);
    Ref<IWbemServices> remote;
    EXPECT_EQ(static_cast<HRESULT>(0x800706BAu),
              connect(d_locator.get(), "\\\\otherhost\\root\\Test", &remote));
    // User credentials are refused for a local connection.
    Bstr path = toBstr("root\\Test");
    Bstr user = toBstr("admin");
    Ref<IWbemServices> s;
    EXPECT_EQ(WBEM_E_LOCAL_CREDENTIALS,
              d_locator->ConnectServer(path.get(), user.get(), nullptr, nullptr, 0, nullptr,
                                       nullptr, s.out()));
    EXPECT_EQ(S_OK, CoSetProxyBlanket(d_services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE,
                                      nullptr, RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE,
                                      nullptr, EOAC_NONE));
}

TEST_F(StandInTest, QueriesAnswerInFileOrderWithTheClassFaultsAndLatency) {
    std::vector<Ref<IWbemClassObject>> rows;
    ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Thing", &rows));
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ("full", propertyText(rows[0].get(), "name"));  // file order, any case

    // Matching is the WQL component's (wmi_wql_test.cpp).
    ASSERT_EQ(S_OK, query(d_services.get(), "select * from thing where text = 'other'", &rows));
    EXPECT_EQ(2u, rows.size());
    // Instances of derived classes answer a query on their base; events have none.
    ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Alarm", &rows));
    EXPECT_EQ(0u, rows.size());

    EXPECT_EQ(WBEM_E_INVALID_QUERY, query(d_services.get(), "SELECT Name FROM Thing", &rows));
    EXPECT_EQ(WBEM_E_INVALID_CLASS, query(d_services.get(), "SELECT * FROM Nope", &rows));
    EXPECT_EQ(WBEM_E_ACCESS_DENIED, query(d_services.get(), "SELECT * FROM Secret", &rows));
    // [LatencyMs] delays the query and every Next (the last, empty one too)
    // and changes no result.
    static std::atomic<int> s_waited{0};
    setLatencySleep([](int ms) { s_waited.fetch_add(ms); });
    ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Slow", &rows));
    EXPECT_EQ(2u, rows.size());
    EXPECT_EQ(4 * 7, s_waited.load());
    ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Thing", &rows));
    EXPECT_EQ(4 * 7, s_waited.load());
    // Semi-synchronous, the query's wait moves into the first Next; a Next
    // whose time-out ends first answers WBEM_S_TIMEDOUT, and the next one
    // waits only for the rest.
    Bstr wql = toBstr("WQL");
    Bstr slow = toBstr("SELECT * FROM Slow");
    Ref<IEnumWbemClassObject> semi;
    ASSERT_EQ(S_OK, d_services->ExecQuery(wql.get(), slow.get(), WBEM_FLAG_RETURN_IMMEDIATELY,
                                          nullptr, semi.out()));
    EXPECT_EQ(4 * 7, s_waited.load());
    Ref<IWbemClassObject> row;
    ULONG returned = 9;
    EXPECT_EQ(WBEM_S_TIMEDOUT, semi->Next(10, 1, row.out(), &returned));
    EXPECT_EQ(0u, returned);
    EXPECT_EQ(WBEM_S_NO_ERROR, semi->Next(WBEM_INFINITE, 1, row.out(), &returned));
    EXPECT_EQ(1u, returned);
    EXPECT_EQ(6 * 7, s_waited.load());
    setLatencySleep(nullptr);

    Bstr lang = toBstr("SQL");
    Bstr text = toBstr("SELECT * FROM Thing");
    Ref<IEnumWbemClassObject> en;
    EXPECT_EQ(WBEM_E_INVALID_QUERY_TYPE,
              d_services->ExecQuery(lang.get(), text.get(), 0, nullptr, en.out()));
}

TEST_F(StandInTest, EnumeratorNextCountsAndEnds) {
    Bstr lang = toBstr("WQL");
    Bstr text = toBstr("SELECT * FROM Thing");
    Ref<IEnumWbemClassObject> en;
    ASSERT_EQ(S_OK, d_services->ExecQuery(lang.get(), text.get(), 0x30, nullptr, en.out()));
    EXPECT_EQ(S_OK, CoSetProxyBlanket(en.get(), RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_DEFAULT,
                                      COLE_DEFAULT_PRINCIPAL, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE));
    IWbemClassObject* objs[4] = {};
    ULONG n = 99;
    EXPECT_EQ(WBEM_S_FALSE, en->Next(WBEM_INFINITE, 4, objs, &n));
    EXPECT_EQ(3u, n);
    for (ULONG i = 0; i < n; ++i) {
        objs[i]->Release();
    }
    EXPECT_EQ(WBEM_S_FALSE, en->Next(WBEM_INFINITE, 1, objs, &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(WBEM_E_INVALID_OPERATION, en->Reset());  // forward-only
}

TEST_F(StandInTest, EveryCimTypeReadsAsTheScriptingVariant) {
    std::vector<Ref<IWbemClassObject>> rows;
    ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Thing WHERE Name = 'full'", &rows));
    ASSERT_EQ(1u, rows.size());
    IWbemClassObject* o = rows[0].get();
    struct Expect {
        const char* d_name;
        VARTYPE d_vt;
        CIMTYPE d_cim;
        std::string d_text;
    };
    const Expect k_EXPECT[] = {
        {"Text", VT_BSTR, CIM_STRING, "h\xc3\xa9llo \"q\""},
        {"Flag", VT_BOOL, CIM_BOOLEAN, "true"},
        {"S8", VT_I2, CIM_SINT8, "-8"},
        {"U8", VT_UI1, CIM_UINT8, "200"},
        {"S16", VT_I2, CIM_SINT16, "-1600"},
        {"U16", VT_I4, CIM_UINT16, "60000"},
        {"S32", VT_I4, CIM_SINT32, "-32"},
        {"U32", VT_I4, CIM_UINT32, "-294967296"},  // read back as a signed 32-bit value
        {"S64", VT_BSTR, CIM_SINT64, "-9000000000"},
        {"U64", VT_BSTR, CIM_UINT64, "18000000000000000000"},
        {"R32", VT_R4, CIM_REAL32, "<vt 4>"},
        {"R64", VT_R8, CIM_REAL64, "<vt 5>"},
        {"When", VT_BSTR, CIM_DATETIME, "20260102030405.000000+000"},
        {"Letter", VT_I4, CIM_CHAR16, "90"},
        {"Nothing", VT_NULL, CIM_STRING, "<null>"},
        {"Bytes", VT_ARRAY | VT_UI1, CIM_UINT8 | CIM_FLAG_ARRAY, "<vt 8209>"},
        {"Numbers", VT_ARRAY | VT_I4, CIM_SINT32 | CIM_FLAG_ARRAY, "<vt 8195>"},
        {"Words", VT_ARRAY | VT_BSTR, CIM_STRING | CIM_FLAG_ARRAY, "<vt 8200>"},
        {"__CLASS", VT_BSTR, CIM_STRING, "Thing"},
        {"__RELPATH", VT_BSTR, CIM_STRING, "Thing.Name=\"full\""},
        {"__NAMESPACE", VT_BSTR, CIM_STRING, "root\\Test"},
    };
    for (const Expect& e : k_EXPECT) {
        VARIANT v;
        VariantInit(&v);
        CIMTYPE cim = -1;
        Bstr name = toBstr(e.d_name);
        ASSERT_EQ(S_OK, o->Get(name.get(), 0, &v, &cim, nullptr)) << e.d_name;
        EXPECT_EQ(e.d_vt, v.vt) << e.d_name;
        EXPECT_EQ(e.d_cim, cim) << e.d_name;
        EXPECT_EQ(e.d_text, propertyText(o, e.d_name)) << e.d_name;
        if (v.vt == VT_R4) {
            EXPECT_EQ(1.5f, v.fltVal);
        } else if (v.vt == VT_R8) {
            EXPECT_EQ(-2.25, v.dblVal);
        }
        VariantClear(&v);
    }
    EXPECT_EQ("\\\\" + serverName() + "\\root\\Test:Thing.Name=\"full\"",
              propertyText(o, "__PATH"));
    EXPECT_EQ("<error 0x80041002>", propertyText(o, "NoSuchProperty"));
    EXPECT_EQ("<error 0x80041002>", propertyText(o, "__NOSUCH"));

    // A byte array is read the way the service reads a photo.
    VARIANT v;
    VariantInit(&v);
    Bstr bytes = toBstr("bytes");
    ASSERT_EQ(S_OK, o->Get(bytes.get(), 0, &v, nullptr, nullptr));
    LONG lo = -1, hi = -1;
    ASSERT_EQ(S_OK, SafeArrayGetLBound(v.parray, 1, &lo));
    ASSERT_EQ(S_OK, SafeArrayGetUBound(v.parray, 1, &hi));
    ASSERT_EQ(0, lo);
    ASSERT_EQ(2, hi);
    std::vector<int> got;
    for (LONG i = 0; i <= hi; ++i) {
        BYTE b = 0;
        ASSERT_EQ(S_OK, SafeArrayGetElement(v.parray, &i, &b));
        got.push_back(b);
    }
    EXPECT_EQ((std::vector<int>{0, 1, 255}), got);
    VariantClear(&v);

    Bstr words = toBstr("Words");
    ASSERT_EQ(S_OK, o->Get(words.get(), 0, &v, nullptr, nullptr));
    LONG one = 1;
    BSTR word = nullptr;
    ASSERT_EQ(S_OK, SafeArrayGetElement(v.parray, &one, &word));
    EXPECT_EQ("b", fromBstr(word));
    SysFreeString(word);
    VariantClear(&v);

    // An empty array is an array of no elements.
    ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Thing WHERE Name = 'third'", &rows));
    ASSERT_EQ(S_OK, rows[0]->Get(bytes.get(), 0, &v, nullptr, nullptr));
    ASSERT_EQ(S_OK, SafeArrayGetUBound(v.parray, 1, &hi));
    EXPECT_EQ(-1, hi);
    VariantClear(&v);
}

TEST_F(StandInTest, WritesToAnInstanceObjectOrItsCloneStayInThatObject) {
    // Objects read the stored values in place until one of them is written.
    std::vector<Ref<IWbemClassObject>> rows;
    ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Thing WHERE Name = 'Other'", &rows));
    ASSERT_EQ(1u, rows.size());
    Ref<IWbemClassObject> clone;
    ASSERT_EQ(S_OK, rows[0]->Clone(clone.out()));
    VARIANT first = str("first");
    Bstr text = toBstr("Text");
    ASSERT_EQ(S_OK, rows[0]->Put(text.get(), 0, &first, 0));
    VariantClear(&first);
    Ref<IWbemClassObject> second;
    ASSERT_EQ(S_OK, rows[0]->Clone(second.out()));
    VARIANT changed = str("changed");
    ASSERT_EQ(S_OK, rows[0]->Put(text.get(), 0, &changed, 0));
    VariantClear(&changed);
    VARIANT key = str("renamed");
    Bstr name = toBstr("Name");
    ASSERT_EQ(S_OK, clone->Put(name.get(), 0, &key, 0));
    VariantClear(&key);

    EXPECT_EQ("changed", propertyText(rows[0].get(), "Text"));
    EXPECT_EQ("first", propertyText(second.get(), "Text"));
    EXPECT_EQ("OTHER", propertyText(clone.get(), "Text"));
    EXPECT_EQ("Thing.Name=\"renamed\"", propertyText(clone.get(), "__RELPATH"));
    EXPECT_EQ("Thing.Name=\"Other\"", propertyText(rows[0].get(), "__RELPATH"));
    std::vector<Ref<IWbemClassObject>> again;
    ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Thing WHERE Name = 'Other'", &again));
    ASSERT_EQ(1u, again.size());
    EXPECT_EQ("OTHER", propertyText(again[0].get(), "Text"));
}

TEST_F(StandInTest, MethodsRunOnClassAndInstancePathsWithGenericBehaviour) {
    // In/out parameters come back, a declared return value is 0, pure outputs are null.
    Ref<IWbemClassObject> in =
        inputs("Account", "Deposit", {{"Amount", str("150")}, {"Note", i4(42)}});
    Ref<IWbemClassObject> out;
    ASSERT_EQ(S_OK, execMethod("Account.Id=12,Region=\"EU\"", "Deposit", in.get(), &out));
    ASSERT_TRUE(out);
    EXPECT_EQ("42", propertyText(out.get(), "Note"));  // an int stored into a string
    EXPECT_EQ("0", propertyText(out.get(), "ReturnValue"));
    EXPECT_EQ("<null>", propertyText(out.get(), "Balance"));
    EXPECT_EQ("<error 0x80041002>", propertyText(out.get(), "Amount"));
    // The relative path read from an instance is accepted as it is.
    std::vector<Ref<IWbemClassObject>> rows;
    ASSERT_EQ(S_OK, query(d_services.get(), "SELECT * FROM Account", &rows));
    const std::string relpath = propertyText(rows[0].get(), "__RELPATH");
    EXPECT_EQ("Account.Id=12,Region=\"eu\"", relpath);
    EXPECT_EQ(S_OK, execMethod(relpath, "deposit", in.get(), &out));
    EXPECT_EQ(S_OK, execMethod("Account", "Deposit", in.get(), &out));

    // Failures, each with the platform's code.
    EXPECT_EQ(WBEM_E_NOT_FOUND,
              execMethod("Account.Id=13,Region=\"eu\"", "Deposit", in.get(), &out));
    EXPECT_FALSE(out);
    EXPECT_EQ(WBEM_E_INVALID_METHOD, execMethod("Account", "Withdraw", in.get(), &out));
    EXPECT_EQ(WBEM_E_INVALID_CLASS, execMethod("Bank", "Deposit", in.get(), &out));
    EXPECT_EQ(WBEM_E_INVALID_OBJECT_PATH, execMethod("Account.Id=", "Deposit", in.get(), &out));
    EXPECT_EQ(static_cast<HRESULT>(0x80041024u), execMethod("Account", "Close", nullptr, &out));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, execMethod("Account", "Deposit", nullptr, &out));
    Ref<IWbemClassObject> partial = inputs("Account", "Deposit", {{"Amount", i4(1)}});
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, execMethod("Account", "Deposit", partial.get(), &out));
    // A value that does not convert is refused by Put and then missing.
    Ref<IWbemClassObject> wrong = inputs("Account", "Deposit", {{"Note", str("x")}});
    VARIANT bad = str("twelve");
    Bstr amount = toBstr("Amount");
    EXPECT_EQ(WBEM_E_TYPE_MISMATCH, wrong->Put(amount.get(), 0, &bad, 0));
    VariantClear(&bad);
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, execMethod("Account", "Deposit", wrong.get(), &out));
    // An input object of another class can carry a value of the wrong type.
    Ref<IWbemClassObject> foreign;
    HRESULT hr;
    Ref<IWbemClassObject> args = getObject("DepositArgs", &hr);
    ASSERT_EQ(S_OK, args->SpawnInstance(0, foreign.out()));
    VARIANT text = str("abc");
    VARIANT note = str("n");
    Bstr noteName = toBstr("Note");
    EXPECT_EQ(S_OK, foreign->Put(amount.get(), 0, &text, 0));
    EXPECT_EQ(S_OK, foreign->Put(noteName.get(), 0, &note, 0));
    VariantClear(&text);
    VariantClear(&note);
    EXPECT_EQ(WBEM_E_TYPE_MISMATCH, execMethod("Account", "Deposit", foreign.get(), &out));
    Ref<IWbemClassObject> thingIn;
    Ref<IWbemClassObject> thing = getObject("Thing", &hr);
    ASSERT_EQ(S_OK, thing->SpawnInstance(0, thingIn.out()));
    VARIANT name = str("n");
    Bstr nameName = toBstr("Name");
    EXPECT_EQ(S_OK, thingIn->Put(nameName.get(), 0, &name, 0));
    VariantClear(&name);
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, execMethod("Account", "Deposit", thingIn.get(), &out));

    // An undeclared argument fails at Put; a method without inputs has no
    // input signature; a void method has no ReturnValue.
    VARIANT v = i4(1);
    Bstr undeclared = toBstr("Nope");
    EXPECT_EQ(WBEM_E_NOT_FOUND, in->Put(undeclared.get(), 0, &v, 0));
    Ref<IWbemClassObject> account = getObject("Account", &hr);
    Ref<IWbemClassObject> sigIn, sigOut;
    Bstr touch = toBstr("Touch");
    EXPECT_EQ(S_OK, account->GetMethod(touch.get(), 0, sigIn.out(), sigOut.out()));
    EXPECT_FALSE(sigIn);
    EXPECT_FALSE(sigOut);
    EXPECT_EQ(S_OK, execMethod("Account", "Touch", nullptr, &out));
    EXPECT_FALSE(out);
    Bstr nope = toBstr("Nope");
    EXPECT_EQ(WBEM_E_NOT_FOUND, account->GetMethod(nope.get(), 0, sigIn.out(), nullptr));

    getObject("Account.Id=12,Region=\"eu\"", &hr);
    EXPECT_EQ(S_OK, hr);
    getObject("Account.Id=12", &hr);
    EXPECT_EQ(WBEM_E_NOT_FOUND, hr);
    getObject("Nope", &hr);
    EXPECT_EQ(WBEM_E_NOT_FOUND, hr);
}

TEST_F(StandInTest, MethodHandlersReplaceTheGenericBehaviour) {
    d_provider->setMethodHandler("account", "DEPOSIT", [](MethodCall& call) {
        const Value* amount = call.input("amount");
        if (amount == nullptr || std::get<uint64_t>(amount->d_items[0]) > 1000) {
            return WBEM_E_VALUE_OUT_OF_RANGE;
        }
        call.setOutput("Balance", std::to_string(std::get<uint64_t>(amount->d_items[0]) * 2));
        call.setOutput("ReturnValue", "3");
        EXPECT_TRUE(call.d_target != nullptr);
        return WBEM_S_NO_ERROR;
    });
    Ref<IWbemClassObject> in =
        inputs("Account", "Deposit", {{"Amount", i4(21)}, {"Note", str("n")}});
    Ref<IWbemClassObject> out;
    ASSERT_EQ(S_OK, execMethod("Account.Id=12,Region=\"eu\"", "Deposit", in.get(), &out));
    EXPECT_EQ("42", propertyText(out.get(), "Balance"));
    EXPECT_EQ("3", propertyText(out.get(), "ReturnValue"));
    EXPECT_EQ("n", propertyText(out.get(), "Note"));
    Ref<IWbemClassObject> big =
        inputs("Account", "Deposit", {{"Amount", i4(5000)}, {"Note", str("")}});
    EXPECT_EQ(WBEM_E_VALUE_OUT_OF_RANGE,
              execMethod("Account.Id=12,Region=\"eu\"", "Deposit", big.get(), &out));
}

// WBEM_FLAG_RETURN_IMMEDIATELY: the outcome comes through the call result
// once the provider's time has passed; the pointer for the object stays null.
TEST_F(StandInTest, SemisynchronousCallsAnswerThroughTheCallResult) {
    static std::atomic<int> s_waited{0};
    setLatencySleep([](int ms) { s_waited.fetch_add(ms); });
    Bstr slow = toBstr("Slow");
    Ref<IWbemClassObject> obj;
    Ref<IWbemCallResult> call;
    ASSERT_EQ(S_OK, d_services->GetObject(slow.get(), WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                          obj.out(), call.out()));
    EXPECT_FALSE(obj);
    ASSERT_TRUE(call);
    EXPECT_EQ(S_OK, call->GetResultObject(WBEM_INFINITE, obj.out()));
    EXPECT_EQ("Slow", propertyText(obj.get(), "__CLASS"));
    long status = 1;
    EXPECT_EQ(S_OK, call->GetCallStatus(WBEM_NO_WAIT, &status));
    EXPECT_EQ(S_OK, status);
    Bstr nope = toBstr("Nope");
    ASSERT_EQ(S_OK, d_services->GetObject(nope.get(), WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                          nullptr, call.out()));
    EXPECT_EQ(WBEM_E_NOT_FOUND, call->GetResultObject(WBEM_NO_WAIT, obj.out()));
    EXPECT_FALSE(obj);

    // A method's [LatencyMs]: the call result waits as long as asked, then
    // times out; the synchronous form takes the whole time.
    Bstr path = toBstr("Slow.Id=1");
    Bstr hang = toBstr("Hang");
    s_waited = 0;
    ASSERT_EQ(S_OK, d_services->ExecMethod(path.get(), hang.get(), WBEM_FLAG_RETURN_IMMEDIATELY,
                                           nullptr, nullptr, nullptr, call.out()));
    EXPECT_EQ(WBEM_S_TIMEDOUT, call->GetResultObject(WBEM_NO_WAIT, obj.out()));
    EXPECT_EQ(WBEM_S_TIMEDOUT, call->GetCallStatus(25, &status));
    EXPECT_EQ(25, s_waited.load());
    Ref<IWbemClassObject> out;
    EXPECT_EQ(S_OK, execMethod("Slow.Id=1", "Hang", nullptr, &out));
    EXPECT_EQ(25 + 600000, s_waited.load());
    setLatencySleep(nullptr);
    // A restarted WMI service no longer answers for its calls.
    d_provider->restart();
    EXPECT_EQ(RPC_E_DISCONNECTED, call->GetResultObject(WBEM_NO_WAIT, obj.out()));

    // Without latency the outputs are there at once.
    ASSERT_EQ(S_OK, connect(d_locator.get(), "root\\Test", &d_services));
    Ref<IWbemClassObject> in =
        inputs("Account", "Deposit", {{"Amount", str("150")}, {"Note", str("n")}});
    Bstr account = toBstr("Account");
    Bstr deposit = toBstr("Deposit");
    ASSERT_EQ(S_OK,
              d_services->ExecMethod(account.get(), deposit.get(), WBEM_FLAG_RETURN_IMMEDIATELY,
                                     nullptr, in.get(), out.out(), call.out()));
    EXPECT_FALSE(out);
    EXPECT_EQ(S_OK, call->GetResultObject(WBEM_NO_WAIT, out.out()));
    EXPECT_EQ("n", propertyText(out.get(), "Note"));
}

TEST_F(StandInTest, DeliveriesArriveOnAStandInThreadOncePerRaise) {
    auto* sink = new RecordingSink("CardNumber");
    Ref<IUnsecuredApartment> apartment;
    ASSERT_EQ(S_OK,
              CoCreateInstance(CLSID_UnsecuredApartment, nullptr, CLSCTX_LOCAL_SERVER,
                               IID_IUnsecuredApartment, reinterpret_cast<void**>(apartment.out())));
    Ref<IUnknown> stubUnknown;
    ASSERT_EQ(S_OK, apartment->CreateObjectStub(sink, stubUnknown.out()));
    Ref<IWbemObjectSink> stub;
    ASSERT_EQ(S_OK, stubUnknown->QueryInterface(IID_IWbemObjectSink,
                                                reinterpret_cast<void**>(stub.out())));
    Bstr lang = toBstr("WQL");
    Bstr q = toBstr("SELECT * FROM Alarm");
    ASSERT_EQ(S_OK, d_services->ExecNotificationQueryAsync(
                        lang.get(), q.get(), WBEM_FLAG_SEND_STATUS, nullptr, stub.get()));
    // Three objects in one raise are one Indicate; derived classes match; other
    // classes and other namespaces do not.
    MofError error;
    ASSERT_TRUE(
        d_provider->raiseEvents("instance of Alarm { CardNumber = 1; };\n"
                                "instance of Fire { CardNumber = 2; Level = 3; };\n"
                                "instance of Alarm { CardNumber = 3; };\n"
                                "instance of Forbidden { Id = 1; };",
                                &error))
        << error.text();
    ASSERT_TRUE(d_provider->raiseEvents("instance of Alarm { Zone = \"b\"; };", &error));
    ASSERT_TRUE(sink->waitFor(2));
    ASSERT_TRUE(d_provider->waitForDeliveries(std::chrono::seconds(10)));
    std::vector<RecordingSink::Delivery> got = sink->deliveries();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), got[0].d_values);
    EXPECT_EQ((std::vector<std::string>{"<null>"}), got[1].d_values);
    EXPECT_NE(std::this_thread::get_id(), got[0].d_thread);
    EXPECT_EQ(2u, d_provider->deliveryCount());
    EXPECT_TRUE(sink->statuses().empty());

    // Only the registering proxy can cancel: through another one, even to
    // the same namespace, the sink is unknown and delivery goes on.
    Ref<IWbemServices> other;
    ASSERT_EQ(S_OK, connect(d_locator.get(), "root\\Test", &other));
    EXPECT_EQ(WBEM_E_NOT_FOUND, other->CancelAsyncCall(stub.get()));
    EXPECT_EQ(1u, d_provider->subscriptionCount());

    // Cancelling sends the final status, releases the sink and stops delivery.
    EXPECT_EQ(S_OK, d_services->CancelAsyncCall(stub.get()));
    EXPECT_EQ(
        (std::vector<std::pair<long, HRESULT>>{{WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED}}),
        sink->statuses());
    EXPECT_EQ(0u, d_provider->subscriptionCount());
    ASSERT_TRUE(d_provider->raiseEvents("instance of Alarm { CardNumber = 4; };", &error));
    ASSERT_TRUE(d_provider->waitForDeliveries(std::chrono::seconds(10)));
    EXPECT_EQ(2u, sink->deliveries().size());
    EXPECT_EQ(WBEM_E_NOT_FOUND, d_services->CancelAsyncCall(stub.get()));
    // Released in the order the service's subscription record uses.
    stubUnknown.reset();
    apartment.reset();
    EXPECT_GT(sink->refs(), 1u);  // the stub still holds the sink
    stub.reset();
    EXPECT_EQ(1u, sink->refs());  // only the test's own reference is left
    sink->Release();
}

TEST_F(StandInTest, SubscriptionsFailAsTheRepositoryChooses) {
    auto* sink = new RecordingSink("Id");
    Bstr lang = toBstr("WQL");
    auto subscribe = [&](const char* text, long flags) {
        Bstr q = toBstr(text);
        return d_services->ExecNotificationQueryAsync(lang.get(), q.get(), flags, nullptr, sink);
    };
    EXPECT_EQ(WBEM_E_ACCESS_DENIED, subscribe("SELECT * FROM Forbidden", 0x80));
    EXPECT_EQ(WBEM_E_FAILED, subscribe("SELECT * FROM Broken", 0x80));
    EXPECT_EQ(WBEM_E_INVALID_CLASS, subscribe("SELECT * FROM Nope", 0x80));
    EXPECT_EQ(WBEM_E_INVALID_QUERY, subscribe("SELECT Id FROM Alarm", 0x80));
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, subscribe("SELECT * FROM Alarm", 0x10));
    EXPECT_EQ(1u, sink->refs());  // a refused subscription keeps no reference
    // A condition on the subscription filters what it receives.
    ASSERT_EQ(S_OK, subscribe("SELECT * FROM Alarm WHERE Zone = 'north'", 0));
    EXPECT_EQ(2u, sink->refs());
    MofError error;
    ASSERT_TRUE(d_provider->raiseEvents("instance of Alarm { Zone = \"south\"; };", &error));
    ASSERT_TRUE(d_provider->raiseEvents("instance of Alarm { Zone = \"NORTH\"; };", &error));
    ASSERT_TRUE(sink->waitFor(1));
    ASSERT_TRUE(d_provider->waitForDeliveries(std::chrono::seconds(10)));
    EXPECT_EQ(1u, sink->deliveries().size());
    // Releasing the services and the provider with a live subscription
    // releases the sink too.
    d_services.reset();
    d_locator.reset();
    d_provider.reset();
    EXPECT_EQ(1u, sink->refs());
    sink->Release();
}

TEST_F(StandInTest, CancellationRacingWithDeliveriesNeverDeliversAfterItReturns) {
    MofError error;
    for (int round = 0; round < 20; ++round) {
        auto* sink = new RecordingSink("CardNumber");
        std::atomic<bool> cancelled{false};
        std::atomic<int> late{0};
        sink->d_indicate_hook = [&] {
            if (cancelled.load()) {
                late.fetch_add(1);
            }
        };
        Bstr lang = toBstr("WQL");
        Bstr q = toBstr("SELECT * FROM Alarm");
        ASSERT_EQ(S_OK,
                  d_services->ExecNotificationQueryAsync(lang.get(), q.get(), 0x80, nullptr, sink));
        std::atomic<bool> stop{false};
        std::thread raiser([&] {
            while (!stop.load()) {
                d_provider->raiseEvents("instance of Alarm { CardNumber = 5; };", nullptr);
                std::this_thread::yield();
            }
        });
        sink->waitFor(1 + round % 3);
        ASSERT_EQ(S_OK, d_services->CancelAsyncCall(sink));
        cancelled.store(true);
        const size_t seen = sink->deliveries().size();
        stop.store(true);
        raiser.join();
        ASSERT_TRUE(d_provider->waitForDeliveries(std::chrono::seconds(10)));
        EXPECT_EQ(0, late.load());
        EXPECT_EQ(seen, sink->deliveries().size());
        EXPECT_EQ(1u, sink->refs());
        sink->Release();
    }
}

TEST_F(StandInTest, CancelFromInsideTheSinkDoesNotWaitForItself) {
    auto* sink = new RecordingSink("CardNumber");
    Bstr lang = toBstr("WQL");
    Bstr q = toBstr("SELECT * FROM Alarm");
    ASSERT_EQ(S_OK,
              d_services->ExecNotificationQueryAsync(lang.get(), q.get(), 0x80, nullptr, sink));
    IWbemServices* services = d_services.get();
    HRESULT inner = E_FAIL;
    sink->d_indicate_hook = [&] { inner = services->CancelAsyncCall(sink); };
    ASSERT_TRUE(d_provider->raiseEvents("instance of Alarm { CardNumber = 5; };", nullptr));
    ASSERT_TRUE(sink->waitFor(1));
    ASSERT_TRUE(d_provider->waitForDeliveries(std::chrono::seconds(10)));
    EXPECT_EQ(S_OK, inner);
    EXPECT_EQ(1u, sink->statuses().size());
    EXPECT_EQ(1u, sink->refs());
    sink->Release();
}

TEST_F(StandInTest, DropFolderRaisesGoodFilesAndRenamesBadOnes) {
    testutil::LogLines log;
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("wmi_drop_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    auto* sink = new RecordingSink("CardNumber");
    Bstr lang = toBstr("WQL");
    Bstr q = toBstr("SELECT * FROM Alarm");
    ASSERT_EQ(S_OK,
              d_services->ExecNotificationQueryAsync(lang.get(), q.get(), 0x80, nullptr, sink));
    auto write = [&](const char* name, const char* text) {
        const fs::path tmp = dir / (std::string(name) + ".tmp");
        std::ofstream(tmp) << text;
        fs::rename(tmp, dir / name);
    };
    write("a.mof",
          "#pragma namespace(\"root\\\\test\")\n"
          "instance of Alarm { CardNumber = 7; };\ninstance of Alarm { CardNumber = 8; };");
    write("b.mof", "instance of Alarm {\n  CardNumber = \"x\"; };");
    write("c.txt", "instance of Alarm { CardNumber = 9; };");
    d_provider->setEventFolder(dir.string(), std::chrono::milliseconds(10));
    ASSERT_TRUE(sink->waitFor(1));
    d_provider->setEventFolder("");  // stops (and joins) the watch
    ASSERT_TRUE(d_provider->waitForDeliveries(std::chrono::seconds(10)));
    std::vector<RecordingSink::Delivery> got = sink->deliveries();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ((std::vector<std::string>{"7", "8"}), got[0].d_values);
    EXPECT_FALSE(fs::exists(dir / "a.mof"));
    EXPECT_FALSE(fs::exists(dir / "b.mof"));
    EXPECT_TRUE(fs::exists(dir / "b.bad"));
    EXPECT_TRUE(fs::exists(dir / "c.txt"));
    EXPECT_TRUE(log.contains("line 2, column 16: expected an integer for sint64")) << [&] {
        std::string all;
        for (const std::string& t : log.texts()) {
            all += t + "\n";
        }
        return all;
    }();
    EXPECT_EQ(S_OK, d_services->CancelAsyncCall(sink));
    sink->Release();
    fs::remove_all(dir);
}

TEST_F(StandInTest, ComFaultsAndTheStubFault) {
    setFault(Fault::e_PROXY_BLANKET, E_ACCESSDENIED);
    EXPECT_EQ(E_ACCESSDENIED,
              CoSetProxyBlanket(d_services.get(), 10, 0, nullptr, 3, 3, nullptr, 0));
    setFault(Fault::e_CONNECT_SERVER, WBEM_E_ACCESS_DENIED);
    Ref<IWbemServices> s;
    EXPECT_EQ(WBEM_E_ACCESS_DENIED, connect(d_locator.get(), "root\\Test", &s));
    setFault(Fault::e_CREATE_APARTMENT, REGDB_E_CLASSNOTREG);
    Ref<IUnsecuredApartment> apartment;
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              CoCreateInstance(CLSID_UnsecuredApartment, nullptr, CLSCTX_LOCAL_SERVER,
                               IID_IUnsecuredApartment, reinterpret_cast<void**>(apartment.out())));
    clearFaults();
    ASSERT_EQ(S_OK,
              CoCreateInstance(CLSID_UnsecuredApartment, nullptr, CLSCTX_LOCAL_SERVER,
                               IID_IUnsecuredApartment, reinterpret_cast<void**>(apartment.out())));
    setFault(Fault::e_CREATE_OBJECT_STUB, E_OUTOFMEMORY);
    auto* sink = new RecordingSink("x");
    Ref<IUnknown> stub;
    EXPECT_EQ(E_OUTOFMEMORY, apartment->CreateObjectStub(sink, stub.out()));
    EXPECT_FALSE(stub);
    // The checked form: its own fault, a flag out of range, and the system
    // without it.
    Ref<IWbemUnsecuredApartment> checked;
    ASSERT_EQ(S_OK, apartment->QueryInterface(IID_IWbemUnsecuredApartment,
                                              reinterpret_cast<void**>(checked.out())));
    Ref<IWbemObjectSink> sinkStub;
    EXPECT_EQ(WBEM_E_INVALID_PARAMETER, checked->CreateSinkStub(sink, 3, nullptr, sinkStub.out()));
    setFault(Fault::e_CREATE_SINK_STUB, E_OUTOFMEMORY);
    EXPECT_EQ(E_OUTOFMEMORY, checked->CreateSinkStub(sink, WBEM_FLAG_UNSECAPP_CHECK_ACCESS, nullptr,
                                                     sinkStub.out()));
    EXPECT_FALSE(sinkStub);
    setFault(Fault::e_CHECKED_APARTMENT, E_NOINTERFACE);
    EXPECT_EQ(E_NOINTERFACE, apartment->QueryInterface(IID_IWbemUnsecuredApartment,
                                                       reinterpret_cast<void**>(checked.out())));
    EXPECT_FALSE(checked);
    clearFaults();
    EXPECT_EQ(1u, sink->refs());
    sink->Release();
}

}  // namespace
