// wmi_cimvalue.cpp
#include "wmi_cimvalue.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace wmi::standin {

namespace {

struct Range {
    int64_t d_min;
    uint64_t d_max;
};

Range rangeOf(CimBase base) {
    switch (base) {
        case CimBase::e_SINT8:
            return {-128, 127};
        case CimBase::e_UINT8:
            return {0, 255};
        case CimBase::e_SINT16:
            return {-32768, 32767};
        case CimBase::e_UINT16:
        case CimBase::e_CHAR16:
            return {0, 65535};
        case CimBase::e_SINT32:
            return {INT32_MIN, INT32_MAX};
        case CimBase::e_UINT32:
            return {0, UINT32_MAX};
        case CimBase::e_SINT64:
            return {INT64_MIN, static_cast<uint64_t>(INT64_MAX)};
        default:
            return {0, UINT64_MAX};
    }
}

bool isSigned(CimBase b) {
    return b == CimBase::e_SINT8 || b == CimBase::e_SINT16 || b == CimBase::e_SINT32 ||
           b == CimBase::e_SINT64;
}
bool isUnsigned(CimBase b) {
    return b == CimBase::e_UINT8 || b == CimBase::e_UINT16 || b == CimBase::e_UINT32 ||
           b == CimBase::e_UINT64 || b == CimBase::e_CHAR16;
}
bool isText(CimBase b) {
    return b == CimBase::e_STRING || b == CimBase::e_DATETIME;
}
bool isReal(CimBase b) {
    return b == CimBase::e_REAL32 || b == CimBase::e_REAL64;
}

VARTYPE elementVartype(CimBase b) {
    switch (b) {
        case CimBase::e_STRING:
        case CimBase::e_DATETIME:
        case CimBase::e_SINT64:
        case CimBase::e_UINT64:
            return VT_BSTR;
        case CimBase::e_BOOLEAN:
            return VT_BOOL;
        case CimBase::e_SINT8:
        case CimBase::e_SINT16:
            return VT_I2;
        case CimBase::e_UINT8:
            return VT_UI1;
        case CimBase::e_REAL32:
            return VT_R4;
        case CimBase::e_REAL64:
            return VT_R8;
        default:
            return VT_I4;
    }
}

// Writes one element into the union member of 'vt'.
void putScalar(VARTYPE vt, const Scalar& s, VARIANT* v) {
    switch (vt) {
        case VT_BSTR: {
            const std::basic_string<OLECHAR> w = toOleString(scalarText(s));
            v->bstrVal = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
            break;
        }
        case VT_BOOL:
            v->boolVal = std::get<bool>(s) ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VT_R4:
            v->fltVal = static_cast<float>(std::get<double>(s));
            break;
        case VT_R8:
            v->dblVal = std::get<double>(s);
            break;
        case VT_UI1:
            v->bVal = static_cast<BYTE>(std::get<uint64_t>(s));
            break;
        case VT_I2:
            v->iVal = static_cast<SHORT>(std::get<int64_t>(s));
            break;
        default:  // VT_I4
            v->lVal = std::holds_alternative<int64_t>(s)
                          ? static_cast<LONG>(std::get<int64_t>(s))
                          : static_cast<LONG>(static_cast<uint32_t>(std::get<uint64_t>(s)));
            break;
    }
}

// Reads one element of a VARIANT for 'base'.
HRESULT scalarFromVariant(CimBase base, const VARIANT& v, Scalar* out) {
    const VARTYPE vt = v.vt;
    auto fromInt = [&](int64_t n) -> HRESULT {
        if (isText(base)) {
            *out = std::to_string(n);
            return S_OK;
        }
        if (base == CimBase::e_BOOLEAN) {
            *out = n != 0;
            return S_OK;
        }
        if (isReal(base)) {
            *out = static_cast<double>(n);
            return S_OK;
        }
        return scalarFromInteger(base, n, out) ? S_OK : WBEM_E_TYPE_MISMATCH;
    };
    switch (vt) {
        case VT_I1:
            return fromInt(v.cVal);
        case VT_UI1:
            return fromInt(v.bVal);
        case VT_I2:
            return fromInt(v.iVal);
        case VT_UI2:
            return fromInt(v.uiVal);
        case VT_I4:
            return fromInt(v.lVal);
        case VT_INT:
            return fromInt(v.intVal);
        case VT_UI4:
            return fromInt(v.ulVal);
        case VT_UINT:
            return fromInt(v.uintVal);
        case VT_I8:
            return fromInt(v.llVal);
        case VT_UI8:
            if (isUnsigned(base)) {
                return scalarFromUnsigned(base, v.ullVal, out) ? S_OK : WBEM_E_TYPE_MISMATCH;
            }
            if (isText(base)) {
                *out = std::to_string(v.ullVal);
                return S_OK;
            }
            if (v.ullVal > static_cast<uint64_t>(INT64_MAX)) {
                return WBEM_E_TYPE_MISMATCH;
            }
            return fromInt(static_cast<int64_t>(v.ullVal));
        case VT_BOOL:
            if (base == CimBase::e_BOOLEAN) {
                *out = v.boolVal != 0;
                return S_OK;
            }
            return fromInt(v.boolVal != 0 ? -1 : 0);
        case VT_R4:
        case VT_R8: {
            const double d = vt == VT_R4 ? v.fltVal : v.dblVal;
            if (isReal(base)) {
                *out = d;
                return S_OK;
            }
            if (isText(base)) {
                *out = scalarText(Scalar(d));
                return S_OK;
            }
            if (std::trunc(d) != d || std::fabs(d) > 9.2e18) {
                return WBEM_E_TYPE_MISMATCH;
            }
            return fromInt(static_cast<int64_t>(d));
        }
        case VT_BSTR: {
            const std::string text = fromBstr(v.bstrVal);
            if (isText(base)) {
                *out = text;
                return S_OK;
            }
            return scalarFromText(base, text, out) ? S_OK : WBEM_E_TYPE_MISMATCH;
        }
        default:
            return WBEM_E_TYPE_MISMATCH;
    }
}

}  // namespace

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------- CIM types
namespace {
struct TypeName {
    const char* d_name;
    CimBase d_base;
    long d_code;
};
const TypeName k_TYPES[] = {
    {"string", CimBase::e_STRING, CIM_STRING},       {"boolean", CimBase::e_BOOLEAN, CIM_BOOLEAN},
    {"sint8", CimBase::e_SINT8, CIM_SINT8},          {"uint8", CimBase::e_UINT8, CIM_UINT8},
    {"sint16", CimBase::e_SINT16, CIM_SINT16},       {"uint16", CimBase::e_UINT16, CIM_UINT16},
    {"sint32", CimBase::e_SINT32, CIM_SINT32},       {"uint32", CimBase::e_UINT32, CIM_UINT32},
    {"sint64", CimBase::e_SINT64, CIM_SINT64},       {"uint64", CimBase::e_UINT64, CIM_UINT64},
    {"real32", CimBase::e_REAL32, CIM_REAL32},       {"real64", CimBase::e_REAL64, CIM_REAL64},
    {"datetime", CimBase::e_DATETIME, CIM_DATETIME}, {"char16", CimBase::e_CHAR16, CIM_CHAR16},
};
}  // namespace

bool isTextBase(CimBase base) {
    return isText(base);
}

bool cimBaseFromName(std::string_view name, CimBase* out) {
    for (const TypeName& t : k_TYPES) {
        if (equalsNoCase(name, t.d_name)) {
            *out = t.d_base;
            return true;
        }
    }
    return false;
}

const char* cimBaseName(CimBase base) {
    for (const TypeName& t : k_TYPES) {
        if (t.d_base == base) {
            return t.d_name;
        }
    }
    return "?";
}

CIMTYPE cimTypeCode(CimType type) {
    for (const TypeName& t : k_TYPES) {
        if (t.d_base == type.d_base) {
            return t.d_code | (type.d_array ? static_cast<long>(CIM_FLAG_ARRAY) : 0L);
        }
    }
    return CIM_ILLEGAL;
}

bool scalarFromInteger(CimBase base, int64_t value, Scalar* out) {
    const Range r = rangeOf(base);
    if (value < r.d_min || (value > 0 && static_cast<uint64_t>(value) > r.d_max)) {
        return false;
    }
    if (isSigned(base)) {
        *out = value;
    } else if (isUnsigned(base)) {
        *out = static_cast<uint64_t>(value);
    } else {
        return false;
    }
    return true;
}

bool scalarFromUnsigned(CimBase base, uint64_t value, Scalar* out) {
    if (value > rangeOf(base).d_max) {
        return false;
    }
    if (isSigned(base)) {
        *out = static_cast<int64_t>(value);
    } else if (isUnsigned(base)) {
        *out = value;
    } else {
        return false;
    }
    return true;
}

bool scalarFromText(CimBase base, std::string_view text, Scalar* out) {
    if (isText(base)) {
        *out = std::string(text);
        return true;
    }
    if (base == CimBase::e_BOOLEAN) {
        if (equalsNoCase(text, "true") || text == "1") {
            *out = true;
        } else if (equalsNoCase(text, "false") || text == "0") {
            *out = false;
        } else {
            return false;
        }
        return true;
    }
    if (isReal(base)) {
        std::string s(text);
        char* end = nullptr;
        const double d = std::strtod(s.c_str(), &end);
        if (s.empty() || end != s.c_str() + s.size()) {
            return false;
        }
        *out = d;
        return true;
    }
    // Integers: optional sign, decimal or 0x hex, nothing else.
    std::string_view t = text;
    bool negative = false;
    if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
        negative = t[0] == '-';
        t.remove_prefix(1);
    }
    int radix = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        radix = 16;
        t.remove_prefix(2);
    }
    uint64_t magnitude = 0;
    const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), magnitude, radix);
    if (t.empty() || ec != std::errc() || ptr != t.data() + t.size()) {
        return false;
    }
    if (negative) {
        if (magnitude > static_cast<uint64_t>(INT64_MAX) + 1) {
            return false;
        }
        return scalarFromInteger(base, static_cast<int64_t>(0 - magnitude), out);
    }
    return scalarFromUnsigned(base, magnitude, out);
}

std::string scalarText(const Scalar& s) {
    if (const bool* b = std::get_if<bool>(&s)) {
        return *b ? "TRUE" : "FALSE";
    }
    if (const int64_t* i = std::get_if<int64_t>(&s)) {
        return std::to_string(*i);
    }
    if (const uint64_t* u = std::get_if<uint64_t>(&s)) {
        return std::to_string(*u);
    }
    if (const double* d = std::get_if<double>(&s)) {
        char buf[64];
        const auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, *d);
        return ec == std::errc() ? std::string(buf, ptr) : std::string("0");
    }
    return std::get<std::string>(s);
}

bool scalarEquals(const Scalar& a, const Scalar& b) {
    if (a.index() != b.index()) {
        return false;
    }
    if (const std::string* s = std::get_if<std::string>(&a)) {
        return equalsNoCase(*s, std::get<std::string>(b));
    }
    return a == b;
}

void valueToVariant(CimType type, const Value& value, VARIANT* out) {
    VariantInit(out);
    if (value.d_null) {
        out->vt = VT_NULL;
        return;
    }
    const VARTYPE vt = elementVartype(type.d_base);
    if (!type.d_array) {
        out->vt = vt;
        putScalar(vt, value.d_items.front(), out);
        return;
    }
    SAFEARRAY* sa = SafeArrayCreateVector(vt, 0, static_cast<ULONG>(value.d_items.size()));
    out->vt = VT_ARRAY | vt;
    out->parray = sa;
    if (vt == VT_UI1 && value.d_bytes && !value.d_items.empty() &&
        value.d_bytes->size() == value.d_items.size()) {
        std::memcpy(sa->pvData, value.d_bytes->data(), value.d_bytes->size());
        return;
    }
    if (vt == VT_UI1) {
        // Photos and other blobs: written straight into the array's block.
        auto* bytes = static_cast<unsigned char*>(sa->pvData);
        for (const Scalar& item : value.d_items) {
            const uint64_t* u = std::get_if<uint64_t>(&item);
            *bytes++ = static_cast<unsigned char>(u != nullptr ? *u : 0);
        }
        return;
    }
    for (size_t i = 0; i < value.d_items.size(); ++i) {
        VARIANT element;
        VariantInit(&element);
        putScalar(vt, value.d_items[i], &element);
        LONG index = static_cast<LONG>(i);
        if (vt == VT_BSTR) {
            SafeArrayPutElement(sa, &index, element.bstrVal);
            SysFreeString(element.bstrVal);
        } else {
            SafeArrayPutElement(sa, &index, &element.llVal);
        }
    }
}

HRESULT valueFromVariant(CimType type, const VARIANT& in, Value* out) {
    if (in.vt == VT_NULL || in.vt == VT_EMPTY) {
        *out = Value::null();
        return S_OK;
    }
    const bool inArray = (in.vt & VT_ARRAY) != 0;
    if (inArray != type.d_array) {
        return WBEM_E_TYPE_MISMATCH;
    }
    Value v;
    v.d_null = false;
    if (!inArray) {
        Scalar s;
        const HRESULT hr = scalarFromVariant(type.d_base, in, &s);
        if (FAILED(hr)) {
            return hr;
        }
        v.d_items.push_back(std::move(s));
        *out = std::move(v);
        return S_OK;
    }
    SAFEARRAY* sa = in.parray;
    LONG lo = 0;
    LONG hi = -1;
    if (sa == nullptr || SafeArrayGetDim(sa) != 1 || FAILED(SafeArrayGetLBound(sa, 1, &lo)) ||
        FAILED(SafeArrayGetUBound(sa, 1, &hi))) {
        return WBEM_E_TYPE_MISMATCH;
    }
    VARTYPE evt = static_cast<VARTYPE>(in.vt & ~VT_ARRAY);
    for (LONG i = lo; i <= hi; ++i) {
        VARIANT element;
        VariantInit(&element);
        element.vt = evt;
        LONG index = i;
        if (FAILED(SafeArrayGetElement(sa, &index,
                                       evt == VT_BSTR ? static_cast<void*>(&element.bstrVal)
                                                      : static_cast<void*>(&element.llVal)))) {
            return WBEM_E_TYPE_MISMATCH;
        }
        Scalar s;
        const HRESULT hr = scalarFromVariant(type.d_base, element, &s);
        VariantClear(&element);
        if (FAILED(hr)) {
            return hr;
        }
        v.d_items.push_back(std::move(s));
    }
    v.packBytes(type.d_base);
    *out = std::move(v);
    return S_OK;
}

void Value::packBytes(CimBase base) {
    d_bytes.reset();
    if (base != CimBase::e_UINT8 || d_items.empty()) {
        return;
    }
    std::string bytes;
    bytes.reserve(d_items.size());
    for (const Scalar& item : d_items) {
        const uint64_t* u = std::get_if<uint64_t>(&item);
        if (u == nullptr || *u > 0xFF) {
            return;
        }
        bytes.push_back(static_cast<char>(*u));
    }
    d_bytes = std::make_shared<const std::string>(std::move(bytes));
}

}  // namespace wmi::standin
