// wmi_objects.cpp
#include "wmi_objects.h"
#include "wmi_objectpath.h"
#include "wmi_standin.h"

#include <chrono>
#include <thread>

namespace wmi::standin {

std::atomic<int>& liveObjectCounter() {
    static std::atomic<int> s_count{0};
    return s_count;
}

namespace {
std::atomic<LatencySleep> s_latency_sleep{nullptr};
}  // namespace

void setLatencySleep(LatencySleep sleep) {
    s_latency_sleep.store(sleep);
}

void simulateLatency(int ms) {
    if (ms <= 0) {
        return;
    }
    if (LatencySleep sleep = s_latency_sleep.load()) {
        sleep(ms);
    } else {
        // A slow provider is what is being simulated here: the caller blocks.
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

namespace {

void setBstr(VARIANT* v, std::string_view text) {
    v->vt = VT_BSTR;
    v->bstrVal = toBstr(text).release();
}

// Text of a value as MOF writes it.
std::string mofValueText(CimType type, const Value& v) {
    if (v.d_null) {
        return "NULL";
    }
    auto one = [&](const Scalar& s) {
        if (std::holds_alternative<std::string>(s)) {
            std::string out = "\"";
            for (char c : std::get<std::string>(s)) {
                if (c == '"' || c == '\\') {
                    out += '\\';
                }
                out += c;
            }
            return out + "\"";
        }
        return scalarText(s);
    };
    if (!type.d_array) {
        return one(v.d_items.front());
    }
    std::string out = "{";
    for (size_t i = 0; i < v.d_items.size(); ++i) {
        out += (i ? ", " : "") + one(v.d_items[i]);
    }
    return out + "}";
}

}  // namespace

// ---------------------------------------------------------------- ClassObject
ClassObject::ClassObject(std::shared_ptr<const ClassDecl> cls, bool instance,
                         std::shared_ptr<const std::vector<Value>> values)
    : d_class(std::move(cls)), d_is_instance(instance), d_values(std::move(values)) {}

ClassObject* ClassObject::newClass(std::shared_ptr<const ClassDecl> cls) {
    std::vector<Value> defaults;
    for (const PropertyDecl& p : cls->d_properties) {
        defaults.push_back(p.d_default);
    }
    return new ClassObject(std::move(cls), false,
                           std::make_shared<const std::vector<Value>>(std::move(defaults)));
}

ClassObject* ClassObject::newInstance(std::shared_ptr<const Instance> instance) {
    std::shared_ptr<const ClassDecl> cls = instance->d_class;
    const std::vector<Value>* values = &instance->d_values;
    return new ClassObject(std::move(cls), true,
                           std::shared_ptr<const std::vector<Value>>(std::move(instance), values));
}

ClassObject* ClassObject::newInstance(std::shared_ptr<const ClassDecl> cls,
                                      std::vector<Value> values) {
    return new ClassObject(std::move(cls), true,
                           std::make_shared<const std::vector<Value>>(std::move(values)));
}

std::vector<Value> ClassObject::values() const {
    std::lock_guard<std::mutex> lock(d_mutex);
    return *d_values;
}

std::string ClassObject::relPath() const {
    if (!d_is_instance) {
        return d_class->d_name;
    }
    return relativePath(*d_class, *d_values);
}

bool ClassObject::getSystemProperty(std::string_view name, VARIANT* out, CIMTYPE* type) const {
    VARIANT v;
    VariantInit(&v);
    CIMTYPE t = CIM_STRING;
    if (equalsNoCase(name, "__CLASS")) {
        setBstr(&v, d_class->d_name);
    } else if (equalsNoCase(name, "__SUPERCLASS")) {
        if (d_class->d_derivation.empty()) {
            v.vt = VT_NULL;
        } else {
            setBstr(&v, d_class->d_derivation.front());
        }
    } else if (equalsNoCase(name, "__DYNASTY")) {
        setBstr(&v, d_class->d_derivation.empty() ? d_class->d_name : d_class->d_derivation.back());
    } else if (equalsNoCase(name, "__RELPATH") || equalsNoCase(name, "__PATH")) {
        std::lock_guard<std::mutex> lock(d_mutex);
        const std::string rel = relPath();
        if (rel.empty() || d_class->d_name == "__PARAMETERS") {
            v.vt = VT_NULL;
        } else if (equalsNoCase(name, "__RELPATH")) {
            setBstr(&v, rel);
        } else {
            setBstr(&v, "\\\\" + serverName() + "\\" + d_class->d_namespace + ":" + rel);
        }
    } else if (equalsNoCase(name, "__NAMESPACE")) {
        setBstr(&v, d_class->d_namespace);
    } else if (equalsNoCase(name, "__SERVER")) {
        setBstr(&v, serverName());
    } else if (equalsNoCase(name, "__GENUS")) {
        v.vt = VT_I4;
        v.lVal = d_is_instance ? 2 : 1;
        t = CIM_SINT32;
    } else if (equalsNoCase(name, "__PROPERTY_COUNT")) {
        v.vt = VT_I4;
        v.lVal = static_cast<LONG>(d_class->d_properties.size());
        t = CIM_SINT32;
    } else if (equalsNoCase(name, "__DERIVATION")) {
        Value list;
        list.d_null = false;
        for (const std::string& s : d_class->d_derivation) {
            list.d_items.emplace_back(s);
        }
        valueToVariant(CimType{CimBase::e_STRING, true}, list, &v);
        t = CIM_STRING | CIM_FLAG_ARRAY;
    } else {
        return false;
    }
    if (out != nullptr) {
        *out = v;
    } else {
        VariantClear(&v);
    }
    if (type != nullptr) {
        *type = t;
    }
    return true;
}

HRESULT ClassObject::GetQualifierSet(IWbemQualifierSet** ppQualSet) {
    if (ppQualSet != nullptr) {
        *ppQualSet = nullptr;
    }
    return WBEM_E_NOT_SUPPORTED;
}

HRESULT ClassObject::Get(LPCWSTR wszName, long, VARIANT* pVal, CIMTYPE* pType, long* plFlavor) {
    if (wszName == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    const std::string name = fromOleStr(wszName);
    if (name.rfind("__", 0) == 0) {
        if (!getSystemProperty(name, pVal, pType)) {
            return WBEM_E_NOT_FOUND;
        }
        if (plFlavor != nullptr) {
            *plFlavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
        }
        return WBEM_S_NO_ERROR;
    }
    const int idx = d_class->findProperty(name);
    if (idx < 0) {
        return WBEM_E_NOT_FOUND;
    }
    const CimType type = d_class->d_properties[idx].d_type;
    if (pVal != nullptr) {
        std::lock_guard<std::mutex> lock(d_mutex);
        valueToVariant(type, (*d_values)[idx], pVal);
    }
    if (pType != nullptr) {
        *pType = cimTypeCode(type);
    }
    if (plFlavor != nullptr) {
        *plFlavor = WBEM_FLAVOR_ORIGIN_LOCAL;
    }
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::Put(LPCWSTR wszName, long, VARIANT* pVal, CIMTYPE Type) {
    if (wszName == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    const std::string name = fromOleStr(wszName);
    if (name.rfind("__", 0) == 0) {
        return WBEM_E_READ_ONLY;
    }
    const int idx = d_class->findProperty(name);
    if (idx < 0) {
        return WBEM_E_NOT_FOUND;
    }
    const CimType type = d_class->d_properties[idx].d_type;
    if (Type != 0 && Type != cimTypeCode(type)) {
        return WBEM_E_TYPE_MISMATCH;
    }
    Value v;
    if (pVal != nullptr) {
        const HRESULT hr = valueFromVariant(type, *pVal, &v);
        if (FAILED(hr)) {
            return hr;
        }
    }
    std::lock_guard<std::mutex> lock(d_mutex);
    if (!d_own_values) {
        d_own_values = std::make_shared<std::vector<Value>>(*d_values);
        d_values = d_own_values;
    }
    (*d_own_values)[idx] = std::move(v);
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::Delete(LPCWSTR) {
    return WBEM_E_NOT_SUPPORTED;
}

HRESULT ClassObject::GetNames(LPCWSTR wszQualifierName, long, VARIANT*, SAFEARRAY** pNames) {
    if (pNames == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    if (wszQualifierName != nullptr) {
        *pNames = nullptr;
        return WBEM_E_NOT_SUPPORTED;
    }
    *pNames = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(d_class->d_properties.size()));
    for (size_t i = 0; i < d_class->d_properties.size(); ++i) {
        Bstr name = toBstr(d_class->d_properties[i].d_name);
        LONG index = static_cast<LONG>(i);
        SafeArrayPutElement(*pNames, &index, name.get());
    }
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::BeginEnumeration(long) {
    std::lock_guard<std::mutex> lock(d_mutex);
    d_enum_pos = 0;
    d_enumerating = true;
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::Next(long, BSTR* strName, VARIANT* pVal, CIMTYPE* pType, long* plFlavor) {
    std::lock_guard<std::mutex> lock(d_mutex);
    if (!d_enumerating) {
        return WBEM_E_UNEXPECTED;
    }
    if (d_enum_pos >= d_class->d_properties.size()) {
        return WBEM_S_NO_MORE_DATA;
    }
    const PropertyDecl& p = d_class->d_properties[d_enum_pos];
    if (strName != nullptr) {
        *strName = toBstr(p.d_name).release();
    }
    if (pVal != nullptr) {
        valueToVariant(p.d_type, (*d_values)[d_enum_pos], pVal);
    }
    if (pType != nullptr) {
        *pType = cimTypeCode(p.d_type);
    }
    if (plFlavor != nullptr) {
        *plFlavor = WBEM_FLAVOR_ORIGIN_LOCAL;
    }
    ++d_enum_pos;
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::EndEnumeration() {
    std::lock_guard<std::mutex> lock(d_mutex);
    d_enumerating = false;
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet** ppQualSet) {
    return GetQualifierSet(ppQualSet);
}

HRESULT ClassObject::Clone(IWbemClassObject** ppCopy) {
    if (ppCopy == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(d_mutex);
    // Both read the same values now; whichever is written first copies them.
    d_own_values.reset();
    *ppCopy = new ClassObject(d_class, d_is_instance, d_values);
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::GetObjectText(long, BSTR* pstrObjectText) {
    if (pstrObjectText == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    std::string text;
    const std::vector<Value> vals = values();
    if (d_is_instance) {
        text = "\ninstance of " + d_class->d_name + "\n{\n";
        for (size_t i = 0; i < vals.size(); ++i) {
            if (!vals[i].d_null) {
                text += "\t" + d_class->d_properties[i].d_name + " = " +
                        mofValueText(d_class->d_properties[i].d_type, vals[i]) + ";\n";
            }
        }
    } else {
        text = "\nclass " + d_class->d_name;
        if (!d_class->d_derivation.empty()) {
            text += " : " + d_class->d_derivation.front();
        }
        text += "\n{\n";
        for (const PropertyDecl& p : d_class->d_properties) {
            text += std::string("\t") + (p.d_key ? "[key] " : "") + cimBaseName(p.d_type.d_base) +
                    " " + p.d_name + (p.d_type.d_array ? "[]" : "") + ";\n";
        }
    }
    text += "};\n";
    *pstrObjectText = toBstr(text).release();
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::SpawnDerivedClass(long, IWbemClassObject** ppNewClass) {
    if (ppNewClass != nullptr) {
        *ppNewClass = nullptr;
    }
    return WBEM_E_NOT_SUPPORTED;
}

HRESULT ClassObject::SpawnInstance(long, IWbemClassObject** ppNewInstance) {
    if (ppNewInstance == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    if (d_is_instance) {
        *ppNewInstance = nullptr;
        return WBEM_E_INVALID_OPERATION;
    }
    std::vector<Value> defaults;
    for (const PropertyDecl& p : d_class->d_properties) {
        defaults.push_back(p.d_default);
    }
    *ppNewInstance = newInstance(d_class, std::move(defaults));
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::CompareTo(long, IWbemClassObject* pCompareTo) {
    ClassObject* other = dynamic_cast<ClassObject*>(pCompareTo);
    if (other == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    if (other == this) {
        return WBEM_S_SAME;
    }
    const std::vector<Value> a = values();
    const std::vector<Value> b = other->values();
    if (other->d_class != d_class || other->d_is_instance != d_is_instance ||
        a.size() != b.size()) {
        return WBEM_S_FALSE;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].d_null != b[i].d_null || a[i].d_items.size() != b[i].d_items.size()) {
            return WBEM_S_FALSE;
        }
        for (size_t k = 0; k < a[i].d_items.size(); ++k) {
            if (a[i].d_items[k] != b[i].d_items[k]) {
                return WBEM_S_FALSE;
            }
        }
    }
    return WBEM_S_SAME;
}

HRESULT ClassObject::GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) {
    if (wszName == nullptr || pstrClassName == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    if (d_class->findProperty(fromOleStr(wszName)) < 0) {
        return WBEM_E_NOT_FOUND;
    }
    *pstrClassName = toBstr(d_class->d_name).release();
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::InheritsFrom(LPCWSTR strAncestor) {
    if (strAncestor == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    const std::string name = fromOleStr(strAncestor);
    return (!equalsNoCase(name, d_class->d_name) && d_class->isA(name)) ? WBEM_S_NO_ERROR
                                                                        : WBEM_S_FALSE;
}

HRESULT ClassObject::GetMethod(LPCWSTR wszName, long, IWbemClassObject** ppInSignature,
                               IWbemClassObject** ppOutSignature) {
    if (ppInSignature != nullptr) {
        *ppInSignature = nullptr;
    }
    if (ppOutSignature != nullptr) {
        *ppOutSignature = nullptr;
    }
    if (wszName == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    const MethodDecl* m = d_class->findMethod(fromOleStr(wszName));
    if (m == nullptr) {
        return WBEM_E_NOT_FOUND;
    }
    if (ppInSignature != nullptr) {
        if (auto sig = makeSignature(*d_class, *m, true)) {
            *ppInSignature = newClass(std::move(sig));
        }
    }
    if (ppOutSignature != nullptr) {
        if (auto sig = makeSignature(*d_class, *m, false)) {
            *ppOutSignature = newClass(std::move(sig));
        }
    }
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::PutMethod(LPCWSTR, long, IWbemClassObject*, IWbemClassObject*) {
    return WBEM_E_NOT_SUPPORTED;
}

HRESULT ClassObject::DeleteMethod(LPCWSTR) {
    return WBEM_E_NOT_SUPPORTED;
}

HRESULT ClassObject::BeginMethodEnumeration(long) {
    std::lock_guard<std::mutex> lock(d_mutex);
    d_method_pos = 0;
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::NextMethod(long, BSTR* pstrName, IWbemClassObject** ppInSignature,
                                IWbemClassObject** ppOutSignature) {
    std::string name;
    {
        std::lock_guard<std::mutex> lock(d_mutex);
        if (d_method_pos >= d_class->d_methods.size()) {
            return WBEM_S_NO_MORE_DATA;
        }
        name = d_class->d_methods[d_method_pos++].d_name;
    }
    if (pstrName != nullptr) {
        *pstrName = toBstr(name).release();
    }
    Bstr wide = toBstr(name);
    return GetMethod(wide.get(), 0, ppInSignature, ppOutSignature);
}

HRESULT ClassObject::EndMethodEnumeration() {
    return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet** ppQualSet) {
    return GetQualifierSet(ppQualSet);
}

HRESULT ClassObject::GetMethodOrigin(LPCWSTR wszMethodName, BSTR* pstrClassName) {
    if (wszMethodName == nullptr || pstrClassName == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    if (d_class->findMethod(fromOleStr(wszMethodName)) == nullptr) {
        return WBEM_E_NOT_FOUND;
    }
    *pstrClassName = toBstr(d_class->d_name).release();
    return WBEM_S_NO_ERROR;
}

// ---------------------------------------------------------------- Enumerator
Enumerator::Enumerator(std::vector<std::shared_ptr<const Instance>> results, int latencyMs,
                       bool forwardOnly, int firstWaitMs)
    : d_results(std::move(results)),
      d_latency_ms(latencyMs),
      d_forward_only(forwardOnly),
      d_pending_ms(latencyMs + firstWaitMs) {}

HRESULT Enumerator::Reset() {
    std::lock_guard<std::mutex> lock(d_mutex);
    if (d_forward_only) {
        return WBEM_E_INVALID_OPERATION;
    }
    d_pos = 0;
    return WBEM_S_NO_ERROR;
}

HRESULT Enumerator::Next(long lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                         ULONG* puReturned) {
    if (apObjects == nullptr || puReturned == nullptr ||
        (lTimeout < 0 && lTimeout != WBEM_INFINITE)) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *puReturned = 0;
    if (uCount == 0) {
        return WBEM_S_FALSE;
    }
    std::lock_guard<std::mutex> lock(d_mutex);
    if (lTimeout != WBEM_INFINITE && lTimeout < d_pending_ms) {
        simulateLatency(static_cast<int>(lTimeout));
        d_pending_ms -= static_cast<int>(lTimeout);
        return WBEM_S_TIMEDOUT;
    }
    simulateLatency(d_pending_ms);
    d_pending_ms = d_latency_ms;
    ULONG n = 0;
    while (n < uCount && d_pos < d_results.size()) {
        apObjects[n++] = ClassObject::newInstance(d_results[d_pos++]);
    }
    *puReturned = n;
    return n == uCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
}

HRESULT Enumerator::NextAsync(ULONG, IWbemObjectSink*) {
    return WBEM_E_NOT_SUPPORTED;
}

HRESULT Enumerator::Clone(IEnumWbemClassObject** ppEnum) {
    if (ppEnum == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    *ppEnum = nullptr;
    std::lock_guard<std::mutex> lock(d_mutex);
    if (d_forward_only) {
        return WBEM_E_INVALID_OPERATION;
    }
    auto* copy = new Enumerator(d_results, d_latency_ms, d_forward_only);
    copy->d_pos = d_pos;
    *ppEnum = copy;
    return WBEM_S_NO_ERROR;
}

HRESULT Enumerator::Skip(long, ULONG nCount) {
    std::lock_guard<std::mutex> lock(d_mutex);
    const size_t left = d_results.size() - d_pos;
    const size_t skip = nCount < left ? nCount : left;
    d_pos += skip;
    return skip == nCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
}

}  // namespace wmi::standin
