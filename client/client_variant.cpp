#include "client_variant.h"

bool isSmallInteger(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_INT:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

int32_t smallIntegerValue(const VARIANT& v) {
    switch (V_VT(&v)) {
        case VT_I1:
            return V_I1(&v);
        case VT_I2:
            return V_I2(&v);
        case VT_I4:
            return V_I4(&v);
        case VT_INT:
            return V_INT(&v);
        case VT_UI1:
            return V_UI1(&v);
        case VT_UI2:
            return V_UI2(&v);
        case VT_UI4:
            return static_cast<int32_t>(V_UI4(&v));
        case VT_UINT:
            return static_cast<int32_t>(V_UINT(&v));
        default:
            return 0;
    }
}

namespace {

// Reads 'name' of 'object' into 'value'; answers false when the read fails.
bool readProperty(IWbemClassObject* object, const std::string& name, VARIANT* value) {
    VariantInit(value);
    wmi::Bstr property = wmi::toBstr(name);
    HRESULT hr = object->Get(property.get(), 0, value, nullptr, nullptr);
    return SUCCEEDED(hr);
}

}  // namespace

void eventValueOf(IWbemClassObject* object, Parameter& p) {
    VARIANT v;
    if (!readProperty(object, p.name, &v)) {
        return;
    }
    VARTYPE vt = V_VT(&v);
    if (vt == VT_BOOL && p.type == "bool") {
        p.value = V_BOOL(&v) ? "true" : "false";
    } else if (vt == VT_BSTR) {
        p.value = wmi::fromBstr(V_BSTR(&v));
    } else if (isSmallInteger(vt)) {
        p.value = std::to_string(smallIntegerValue(v));
    }
    VariantClear(&v);
}

void methodOutputValueOf(IWbemClassObject* object, Parameter& p) {
    VARIANT v;
    if (!readProperty(object, p.name, &v)) {
        return;
    }
    VARTYPE vt = V_VT(&v);
    if (vt == VT_BSTR) {
        p.value = wmi::fromBstr(V_BSTR(&v));
    } else if (isSmallInteger(vt)) {
        p.value = std::to_string(smallIntegerValue(v));
    }
    VariantClear(&v);
}

std::string base64Encode(const std::string& bytes) {
    static const char k_ALPHABET[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data());
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t n = (b[i] << 16) | (b[i + 1] << 8) | b[i + 2];
        out += k_ALPHABET[(n >> 18) & 63];
        out += k_ALPHABET[(n >> 12) & 63];
        out += k_ALPHABET[(n >> 6) & 63];
        out += k_ALPHABET[n & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest == 1) {
        uint32_t n = b[i] << 16;
        out += k_ALPHABET[(n >> 18) & 63];
        out += k_ALPHABET[(n >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        uint32_t n = (b[i] << 16) | (b[i + 1] << 8);
        out += k_ALPHABET[(n >> 18) & 63];
        out += k_ALPHABET[(n >> 12) & 63];
        out += k_ALPHABET[(n >> 6) & 63];
        out += '=';
    }
    return out;
}
