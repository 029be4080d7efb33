// wmi_services.cpp
//
// The stand-in's COM surface: the locator, the services proxy it connects
// (queries, objects, methods, subscriptions), the call result of its
// semisynchronous calls, and the unsecured apartment with its stubs; also the
// record of one method execution.
#include "wmi_services.h"

#include "wmi_objectpath.h"
#include "wmi_objects.h"
#include "wmi_standin.h"
#include "wmi_wql.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

namespace wmi::standin {

// ---------------------------------------------------------------- MethodCall
const Value* MethodCall::input(std::string_view name) const {
    for (const auto& [n, v] : d_inputs) {
        if (equalsNoCase(n, name)) {
            return &v;
        }
    }
    return nullptr;
}

bool MethodCall::setOutput(std::string_view name, Value value) {
    for (auto& [n, v] : d_outputs) {
        if (equalsNoCase(n, name)) {
            v = std::move(value);
            return true;
        }
    }
    return false;
}

bool MethodCall::setOutput(std::string_view name, std::string_view text) {
    CimType type;
    bool found = false;
    if (equalsNoCase(name, "ReturnValue") && d_method->d_has_return) {
        type = d_method->d_return_type;
        found = true;
    }
    for (const ParamDecl& p : d_method->d_params) {
        if (p.d_out && equalsNoCase(p.d_name, name)) {
            type = p.d_type;
            found = true;
        }
    }
    Scalar s;
    if (!found || type.d_array || !scalarFromText(type.d_base, text, &s)) {
        return false;
    }
    return setOutput(name, Value::scalar(std::move(s)));
}

namespace {

template <class T>
void clearOut(T** p) {
    if (p != nullptr) {
        *p = nullptr;
    }
}

// The result of a semisynchronous call.  The outcome is decided when the
// call is made; it is ready once the provider's time for it ('latencyMs') has
// passed on the real clock, or once the caller has waited that long (a wait
// that a test records instead of sleeping counts as waited).  A proxy of a
// WMI service that restarted since answers RPC_E_DISCONNECTED.
class CallResult final : public ComObject<IWbemCallResult> {
  public:
    // Takes the reference 'object' holds (null: none).
    CallResult(std::shared_ptr<Provider> provider, HRESULT status, IWbemClassObject* object,
               int latencyMs)
        : d_provider(std::move(provider)),
          d_generation(d_provider->generation()),
          d_status(status),
          d_object(object),
          d_ready_at(std::chrono::steady_clock::now() + std::chrono::milliseconds(latencyMs)) {}
    ~CallResult() override {
        if (d_object != nullptr) {
            d_object->Release();
        }
    }

    HRESULT STDMETHODCALLTYPE GetResultObject(long lTimeout,
                                              IWbemClassObject** ppResultObject) override {
        if (ppResultObject == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppResultObject = nullptr;
        if (const HRESULT hr = wait(lTimeout); hr != WBEM_S_NO_ERROR) {
            return hr;
        }
        if (FAILED(d_status)) {
            return d_status;
        }
        if (d_object != nullptr) {
            d_object->AddRef();
            *ppResultObject = d_object;
        }
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE GetResultString(long lTimeout, BSTR* pstrResultString) override {
        clearOut(pstrResultString);
        const HRESULT hr = wait(lTimeout);
        return hr != WBEM_S_NO_ERROR ? hr : FAILED(d_status) ? d_status : WBEM_E_INVALID_OPERATION;
    }
    HRESULT STDMETHODCALLTYPE GetResultServices(long lTimeout,
                                                IWbemServices** ppServices) override {
        clearOut(ppServices);
        const HRESULT hr = wait(lTimeout);
        return hr != WBEM_S_NO_ERROR ? hr : FAILED(d_status) ? d_status : WBEM_E_INVALID_OPERATION;
    }
    HRESULT STDMETHODCALLTYPE GetCallStatus(long lTimeout, long* plStatus) override {
        if (plStatus == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (const HRESULT hr = wait(lTimeout); hr != WBEM_S_NO_ERROR) {
            return hr;
        }
        *plStatus = d_status;
        return WBEM_S_NO_ERROR;
    }

  private:
    // WBEM_S_NO_ERROR once the call has ended; WBEM_S_TIMEDOUT when
    // 'timeout' ms pass first.
    HRESULT wait(long timeout) {
        if (timeout < 0 && timeout != WBEM_INFINITE) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (d_provider->generation() != d_generation) {
            return RPC_E_DISCONNECTED;
        }
        std::lock_guard<std::mutex> lock(d_mutex);
        const auto now = std::chrono::steady_clock::now();
        if (now >= d_ready_at) {
            return WBEM_S_NO_ERROR;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(d_ready_at - now).count();
        if (timeout != WBEM_INFINITE && timeout < left) {
            simulateLatency(static_cast<int>(timeout));
            return WBEM_S_TIMEDOUT;
        }
        simulateLatency(static_cast<int>(left));
        d_ready_at = now;
        return WBEM_S_NO_ERROR;
    }

    const std::shared_ptr<Provider> d_provider;
    const uint64_t d_generation;
    const HRESULT d_status;
    IWbemClassObject* const d_object;
    std::mutex d_mutex;
    std::chrono::steady_clock::time_point d_ready_at;
};

class Services final : public ComObject<IWbemServices> {
  public:
    Services(std::shared_ptr<Provider> provider, std::string nameSpace)
        : d_provider(std::move(provider)),
          d_namespace(std::move(nameSpace)),
          d_generation(d_provider->generation()) {}

    // A proxy of a WMI service that has restarted since reaches nobody.
    bool disconnected() const { return d_provider->generation() != d_generation; }

    // Proxies are told apart by serial, not address: a freed proxy's address
    // may come back with the next one.
    static uint64_t nextSerial() {
        static std::atomic<uint64_t> s_serial{0};
        return ++s_serial;
    }

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, long, IWbemContext*,
                                            IWbemServices** ppWorkingNamespace,
                                            IWbemCallResult** ppResult) override {
        clearOut(ppWorkingNamespace);
        clearOut(ppResult);
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* pSink) override {
        if (pSink == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (disconnected()) {
            return RPC_E_DISCONNECTED;
        }
        return d_provider->cancel(pSink, d_serial);
    }

    HRESULT STDMETHODCALLTYPE QueryObjectSink(long, IWbemObjectSink** ppResponseHandler) override {
        clearOut(ppResponseHandler);
        return WBEM_E_NOT_SUPPORTED;
    }

    // Semisynchronous with WBEM_FLAG_RETURN_IMMEDIATELY and a call-result
    // pointer: the object comes through the call result, after the class's
    // [LatencyMs]; '*ppObject' stays null.  Synchronous, the call takes that
    // time itself.
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR strObjectPath, long lFlags, IWbemContext*,
                                        IWbemClassObject** ppObject,
                                        IWbemCallResult** ppCallResult) override {
        clearOut(ppObject);
        clearOut(ppCallResult);
        const bool immediate = (lFlags & WBEM_FLAG_RETURN_IMMEDIATELY) != 0 && ppCallResult;
        if (ppObject == nullptr && !immediate) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (immediate && ppObject != nullptr) {
            if (const HRESULT f = fault(Fault::e_SEMISYNC_OUT_POINTER); f != S_OK) {
                return f;
            }
        }
        if (disconnected()) {
            return RPC_E_DISCONNECTED;
        }
        IWbemClassObject* object = nullptr;
        int latency = 0;
        const HRESULT hr = findObject(strObjectPath, &object, &latency);
        if (immediate) {
            *ppCallResult = new CallResult(d_provider, hr, object, latency);
            return WBEM_S_NO_ERROR;
        }
        simulateLatency(latency);
        *ppObject = object;
        return hr;
    }

    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, long, IWbemContext*,
                                             IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, long, IWbemContext*,
                                       IWbemCallResult** ppCallResult) override {
        clearOut(ppCallResult);
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, long, IWbemContext*,
                                            IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, long, IWbemContext*,
                                          IWbemCallResult** ppCallResult) override {
        clearOut(ppCallResult);
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, long, IWbemContext*,
                                               IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, long, IWbemContext*,
                                              IEnumWbemClassObject** ppEnum) override {
        clearOut(ppEnum);
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, long, IWbemContext*,
                                                   IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, long, IWbemContext*,
                                          IWbemCallResult** ppCallResult) override {
        clearOut(ppCallResult);
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, long, IWbemContext*,
                                               IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, long, IWbemContext*,
                                             IWbemCallResult** ppCallResult) override {
        clearOut(ppCallResult);
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, long, IWbemContext*,
                                                  IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR strFilter, long lFlags,
                                                 IWbemContext* pCtx,
                                                 IEnumWbemClassObject** ppEnum) override {
        if (strFilter == nullptr) {
            clearOut(ppEnum);
            return WBEM_E_INVALID_PARAMETER;
        }
        Bstr wql = toBstr("WQL");
        Bstr query = toBstr("SELECT * FROM " + fromBstr(strFilter));
        return ExecQuery(wql.get(), query.get(), lFlags, pCtx, ppEnum);
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, long, IWbemContext*,
                                                      IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                        long lFlags, IWbemContext*,
                                        IEnumWbemClassObject** ppEnum) override {
        if (ppEnum == nullptr || strQuery == nullptr || strQueryLanguage == nullptr) {
            clearOut(ppEnum);
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppEnum = nullptr;
        if (disconnected()) {
            return RPC_E_DISCONNECTED;
        }
        if (!equalsNoCase(fromBstr(strQueryLanguage), "WQL")) {
            return WBEM_E_INVALID_QUERY_TYPE;
        }
        std::shared_ptr<const Repository> repo = d_provider->repository();
        const Namespace* ns = repo->findNamespace(d_namespace);
        if (ns == nullptr) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        WqlQuery query;
        if (!parseWql(fromBstr(strQuery), &query)) {
            return WBEM_E_INVALID_QUERY;
        }
        BoundQuery bound;
        if (const HRESULT hr = bindWql(query, *ns, &bound); FAILED(hr)) {
            return hr;
        }
        if (bound.d_class->d_query_error) {
            return *bound.d_class->d_query_error;
        }
        // Semi-synchronous (WBEM_FLAG_RETURN_IMMEDIATELY): the query's time
        // is spent in the first 'Next' instead.
        const bool immediate = (lFlags & WBEM_FLAG_RETURN_IMMEDIATELY) != 0;
        if (!immediate) {
            simulateLatency(bound.d_class->d_latency_ms);
        }
        std::vector<std::shared_ptr<const Instance>> results;
        for (const auto& inst : ns->d_instances) {
            if (matches(bound, *inst)) {
                results.push_back(inst);
            }
        }
        *ppEnum = new Enumerator(std::move(results), bound.d_class->d_latency_ms,
                                 (lFlags & WBEM_FLAG_FORWARD_ONLY) != 0,
                                 immediate ? bound.d_class->d_latency_ms : 0);
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, long, IWbemContext*,
                                             IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, long, IWbemContext*,
                                                    IEnumWbemClassObject** ppEnum) override {
        clearOut(ppEnum);
        return WBEM_E_NOT_SUPPORTED;
    }

    HRESULT STDMETHODCALLTYPE
    ExecNotificationQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery, long lFlags,
                               IWbemContext*, IWbemObjectSink* pResponseHandler) override {
        if (pResponseHandler == nullptr || strQuery == nullptr || strQueryLanguage == nullptr ||
            (lFlags & ~static_cast<long>(WBEM_FLAG_SEND_STATUS)) != 0) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (disconnected()) {
            return RPC_E_DISCONNECTED;
        }
        if (!equalsNoCase(fromBstr(strQueryLanguage), "WQL")) {
            return WBEM_E_INVALID_QUERY_TYPE;
        }
        std::shared_ptr<const Repository> repo = d_provider->repository();
        const Namespace* ns = repo->findNamespace(d_namespace);
        if (ns == nullptr) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        WqlQuery query;
        if (!parseWql(fromBstr(strQuery), &query)) {
            return WBEM_E_INVALID_QUERY;
        }
        BoundQuery bound;
        if (const HRESULT hr = bindWql(query, *ns, &bound); FAILED(hr)) {
            return hr;
        }
        if (bound.d_class->d_subscribe_error) {
            return *bound.d_class->d_subscribe_error;
        }
        d_provider->subscribe(ns->d_name, std::move(bound), pResponseHandler, d_serial);
        return WBEM_S_NO_ERROR;
    }

    // Semisynchronous with WBEM_FLAG_RETURN_IMMEDIATELY and a call-result
    // pointer: the method runs at once, its outcome comes through the call
    // result after the method's [LatencyMs]; '*ppOutParams' stays null.
    // Synchronous, the call takes that time itself.
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR strObjectPath, const BSTR strMethodName,
                                         long lFlags, IWbemContext*, IWbemClassObject* pInParams,
                                         IWbemClassObject** ppOutParams,
                                         IWbemCallResult** ppCallResult) override {
        clearOut(ppOutParams);
        clearOut(ppCallResult);
        if (strObjectPath == nullptr || strMethodName == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if ((lFlags & WBEM_FLAG_RETURN_IMMEDIATELY) != 0 && ppCallResult != nullptr &&
            ppOutParams != nullptr) {
            if (const HRESULT f = fault(Fault::e_SEMISYNC_OUT_POINTER); f != S_OK) {
                return f;
            }
        }
        if (disconnected()) {
            return RPC_E_DISCONNECTED;
        }
        IWbemClassObject* out = nullptr;
        int latency = 0;
        const HRESULT hr =
            runMethod(fromBstr(strObjectPath), fromBstr(strMethodName), pInParams, &out, &latency);
        if ((lFlags & WBEM_FLAG_RETURN_IMMEDIATELY) != 0 && ppCallResult != nullptr) {
            *ppCallResult = new CallResult(d_provider, hr, out, latency);
            return WBEM_S_NO_ERROR;
        }
        simulateLatency(latency);
        if (ppOutParams != nullptr) {
            *ppOutParams = out;
        } else if (out != nullptr) {
            out->Release();
        }
        return hr;
    }

    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, long, IWbemContext*,
                                              IWbemClassObject*, IWbemObjectSink*) override {
        return WBEM_E_NOT_SUPPORTED;
    }

  private:
    // The class or instance at 'path', with the class's [LatencyMs].
    HRESULT findObject(const BSTR path, IWbemClassObject** object, int* latency) const {
        std::shared_ptr<const Repository> repo = d_provider->repository();
        const Namespace* ns = repo->findNamespace(d_namespace);
        if (ns == nullptr) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        ObjectPath parsed;
        if (path == nullptr || !parseObjectPath(fromBstr(path), &parsed)) {
            return WBEM_E_INVALID_OBJECT_PATH;
        }
        std::shared_ptr<const ClassDecl> cls = ns->findClass(parsed.d_class);
        if (!cls) {
            return WBEM_E_NOT_FOUND;
        }
        *latency = cls->d_latency_ms;
        if (!parsed.d_instance) {
            *object = ClassObject::newClass(cls);
            return WBEM_S_NO_ERROR;
        }
        std::shared_ptr<const Instance> inst = findInstance(*ns, *cls, parsed);
        if (!inst) {
            return WBEM_E_NOT_FOUND;
        }
        *object = ClassObject::newInstance(inst);
        return WBEM_S_NO_ERROR;
    }

    // Runs 'methodName' at 'objectPath': the output object in '*out' (null
    // when the method has no outputs), the method's [LatencyMs] in
    // '*latency' once it has run.
    HRESULT runMethod(const std::string& objectPath, const std::string& methodName,
                      IWbemClassObject* pInParams, IWbemClassObject** out, int* latency) const {
        std::shared_ptr<const Repository> repo = d_provider->repository();
        const Namespace* ns = repo->findNamespace(d_namespace);
        if (ns == nullptr) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        ObjectPath path;
        if (!parseObjectPath(objectPath, &path)) {
            return WBEM_E_INVALID_OBJECT_PATH;
        }
        MethodCall call;
        call.d_class = ns->findClass(path.d_class);
        if (!call.d_class) {
            return WBEM_E_INVALID_CLASS;
        }
        if (path.d_instance) {
            call.d_target = findInstance(*ns, *call.d_class, path);
            if (!call.d_target) {
                return WBEM_E_NOT_FOUND;
            }
        }
        // A method runs as its instance's class declares it.
        const ClassDecl& owner = call.d_target ? *call.d_target->d_class : *call.d_class;
        call.d_method = owner.findMethod(methodName);
        if (call.d_method == nullptr) {
            return WBEM_E_INVALID_METHOD;
        }
        if (call.d_method->d_exec_error) {
            return *call.d_method->d_exec_error;
        }
        if (const HRESULT hr = readInputs(pInParams, &call); FAILED(hr)) {
            return hr;
        }
        *latency = call.d_method->d_latency_ms;
        for (const ParamDecl& p : call.d_method->d_params) {
            if (p.d_out) {
                const Value* in = p.d_in ? call.input(p.d_name) : nullptr;
                call.d_outputs.emplace_back(p.d_name, in ? *in : Value::null());
            }
        }
        if (call.d_method->d_has_return) {
            Scalar zero;
            Value v;
            if (scalarFromInteger(call.d_method->d_return_type.d_base, 0, &zero)) {
                v = Value::scalar(zero);
            } else if (call.d_method->d_return_type.d_base == CimBase::e_BOOLEAN) {
                v = Value::scalar(false);
            } else if (call.d_method->d_return_type.d_base == CimBase::e_STRING) {
                v = Value::scalar(std::string());
            }
            call.d_outputs.emplace_back("ReturnValue", v);
        }
        if (const MethodHandler handler =
                d_provider->methodHandler(owner.d_name, call.d_method->d_name)) {
            if (const HRESULT hr = handler(call); FAILED(hr)) {
                return hr;
            }
        }
        if (std::shared_ptr<const ClassDecl> sig = makeSignature(owner, *call.d_method, false)) {
            std::vector<Value> values(sig->d_properties.size());
            for (size_t i = 0; i < sig->d_properties.size(); ++i) {
                for (const auto& [name, v] : call.d_outputs) {
                    if (equalsNoCase(name, sig->d_properties[i].d_name)) {
                        values[i] = v;
                    }
                }
            }
            *out = ClassObject::newInstance(std::move(sig), std::move(values));
        }
        return WBEM_S_NO_ERROR;
    }

    // Every [in] parameter must be given, with a value of its type; nothing
    // else may be given.
    static HRESULT readInputs(IWbemClassObject* pInParams, MethodCall* call) {
        const ClassObject* in = nullptr;
        std::vector<Value> given;
        if (pInParams != nullptr) {
            in = dynamic_cast<ClassObject*>(pInParams);
            if (in == nullptr) {
                return WBEM_E_INVALID_PARAMETER;
            }
            given = in->values();
            for (size_t i = 0; i < given.size(); ++i) {
                const std::string& name = in->decl()->d_properties[i].d_name;
                const bool declared = std::any_of(
                    call->d_method->d_params.begin(), call->d_method->d_params.end(),
                    [&](const ParamDecl& p) { return p.d_in && equalsNoCase(p.d_name, name); });
                if (!declared && !given[i].d_null) {
                    return WBEM_E_INVALID_PARAMETER;
                }
            }
        }
        for (const ParamDecl& p : call->d_method->d_params) {
            if (!p.d_in) {
                continue;
            }
            const int idx = in ? in->decl()->findProperty(p.d_name) : -1;
            if (idx < 0 || given[idx].d_null) {
                return WBEM_E_INVALID_PARAMETER;
            }
            const CimType have = in->decl()->d_properties[idx].d_type;
            Value v = given[idx];
            if (have.d_base != p.d_type.d_base || have.d_array != p.d_type.d_array) {
                VARIANT var;
                valueToVariant(have, given[idx], &var);
                const HRESULT hr = valueFromVariant(p.d_type, var, &v);
                VariantClear(&var);
                if (FAILED(hr)) {
                    return WBEM_E_TYPE_MISMATCH;
                }
            }
            call->d_inputs.emplace_back(p.d_name, std::move(v));
        }
        return WBEM_S_NO_ERROR;
    }

    std::shared_ptr<Provider> d_provider;
    std::string d_namespace;
    const uint64_t d_generation;
    const uint64_t d_serial = nextSerial();
};

// ---------------------------------------------------------------- Locator
class Locator final : public ComObject<IWbemLocator> {
  public:
    Locator() : d_provider(Provider::acquire()) {}

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser,
                                            const BSTR, const BSTR, long, const BSTR, IWbemContext*,
                                            IWbemServices** ppNamespace) override {
        if (ppNamespace == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppNamespace = nullptr;
        if (const HRESULT f = fault(Fault::e_CONNECT_SERVER); f != S_OK) {
            return f;
        }
        if (strUser != nullptr && SysStringLen(strUser) > 0) {
            return WBEM_E_LOCAL_CREDENTIALS;
        }
        const std::string path = fromBstr(strNetworkResource);
        std::string p = path;
        std::replace(p.begin(), p.end(), '/', '\\');
        if (p.rfind("\\\\", 0) == 0) {
            const size_t end = p.find('\\', 2);
            if (!isLocalServer(p.substr(2, end == std::string::npos ? end : end - 2))) {
                return RPC_S_SERVER_UNAVAILABLE_HR;  // another machine
            }
        }
        std::shared_ptr<const Repository> repo = d_provider->repository();
        const Namespace* ns = repo->findNamespace(path);
        if (ns == nullptr) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        markSecurityInitialised();
        *ppNamespace = new Services(d_provider, ns->d_name);
        return WBEM_S_NO_ERROR;
    }

  private:
    std::shared_ptr<Provider> d_provider;
};

// ---------------------------------------------------------------- apartment
// Forwards the sink calls WMI makes to the wrapped object.
class Stub final : public ComObject<IWbemObjectSink> {
  public:
    // 'checksAccess': callers other than WMI are refused.
    Stub(IUnknown* object, bool checksAccess) : d_object(object), d_checks_access(checksAccess) {
        d_object->AddRef();
        void* sink = nullptr;
        if (SUCCEEDED(d_object->QueryInterface(IID_IWbemObjectSink, &sink))) {
            d_sink = static_cast<IWbemObjectSink*>(sink);
        }
    }
    ~Stub() override {
        if (d_sink != nullptr) {
            d_sink->Release();
        }
        d_object->Release();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv != nullptr && riid == IID_IWbemObjectSink && d_sink == nullptr) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return ComObject<IWbemObjectSink>::QueryInterface(riid, ppv);
    }

    HRESULT STDMETHODCALLTYPE Indicate(long lObjectCount, IWbemClassObject** apObjArray) override {
        return d_sink != nullptr ? d_sink->Indicate(lObjectCount, apObjArray) : E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE SetStatus(long lFlags, HRESULT hResult, BSTR strParam,
                                        IWbemClassObject* pObjParam) override {
        return d_sink != nullptr ? d_sink->SetStatus(lFlags, hResult, strParam, pObjParam)
                                 : E_NOINTERFACE;
    }

    bool checksAccess() const { return d_checks_access; }

  private:
    IUnknown* d_object;
    IWbemObjectSink* d_sink = nullptr;
    const bool d_checks_access;
};

// Offers both forms, as the system's apartment does.
class Apartment final : public ComObject<IWbemUnsecuredApartment> {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv != nullptr && riid == IID_IUnsecuredApartment) {
            AddRef();
            *ppv = static_cast<IUnsecuredApartment*>(this);
            return S_OK;
        }
        if (ppv != nullptr && riid == IID_IWbemUnsecuredApartment) {
            if (const HRESULT f = fault(Fault::e_CHECKED_APARTMENT); f != S_OK) {
                *ppv = nullptr;
                return f;
            }
        }
        return ComObject<IWbemUnsecuredApartment>::QueryInterface(riid, ppv);
    }

    // With the default flag the system reads UnsecAppAccessControlDefault,
    // which is off unless an administrator set it: no check.
    HRESULT STDMETHODCALLTYPE CreateSinkStub(IWbemObjectSink* pSink, DWORD dwFlags, LPCWSTR,
                                             IWbemObjectSink** ppStub) override {
        if (ppStub == nullptr || pSink == nullptr) {
            return E_POINTER;
        }
        *ppStub = nullptr;
        if (dwFlags > WBEM_FLAG_UNSECAPP_DONT_CHECK_ACCESS) {
            return WBEM_E_INVALID_PARAMETER;
        }
        if (const HRESULT f = fault(Fault::e_CREATE_SINK_STUB); f != S_OK) {
            return f;
        }
        *ppStub = new Stub(pSink, dwFlags == WBEM_FLAG_UNSECAPP_CHECK_ACCESS);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE CreateObjectStub(IUnknown* pObject, IUnknown** ppStub) override {
        if (ppStub == nullptr || pObject == nullptr) {
            return E_POINTER;
        }
        *ppStub = nullptr;
        if (const HRESULT f = fault(Fault::e_CREATE_OBJECT_STUB); f != S_OK) {
            return f;
        }
        *ppStub = static_cast<IWbemObjectSink*>(new Stub(pObject, false));
        return S_OK;
    }
};

}  // namespace

IUnknown* createLocator() {
    return static_cast<IWbemLocator*>(new Locator());
}

IUnknown* createApartment() {
    return static_cast<IUnsecuredApartment*>(new Apartment());
}

HRESULT forgeIndicate(IWbemObjectSink* stub, IWbemClassObject* object) {
    Stub* known = dynamic_cast<Stub*>(stub);
    if (known == nullptr) {
        return E_INVALIDARG;
    }
    if (known->checksAccess()) {
        return E_ACCESSDENIED;
    }
    return known->Indicate(1, &object);
}

}  // namespace wmi::standin
