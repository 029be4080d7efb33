#include "client_variant.h"

#include <array>
#include <bit>
#include <cstring>

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

bool readProperty(IWbemClassObject* object, const std::string& name, wmi::Variant* value) {
    value->clear();
    wmi::Bstr property = wmi::toBstr(name);
    return SUCCEEDED(object->Get(property.get(), 0, value->get(), nullptr, nullptr));
}

void eventValueOf(IWbemClassObject* object, Parameter& p) {
    wmi::Variant v;
    if (!readProperty(object, p.name, &v)) {
        return;
    }
    const VARIANT& value = v.value();
    VARTYPE vt = v.type();
    if (vt == VT_BOOL && p.type == "bool") {
        p.value = V_BOOL(&value) ? "true" : "false";
    } else if (vt == VT_BSTR) {
        p.value = wmi::fromBstr(V_BSTR(&value));
    } else if (isSmallInteger(vt)) {
        p.value = std::to_string(smallIntegerValue(value));
    }
}

void methodOutputValueOf(IWbemClassObject* object, Parameter& p) {
    wmi::Variant v;
    if (!readProperty(object, p.name, &v)) {
        return;
    }
    VARTYPE vt = v.type();
    if (vt == VT_BSTR) {
        p.value = wmi::fromBstr(V_BSTR(&v.value()));
    } else if (isSmallInteger(vt)) {
        p.value = std::to_string(smallIntegerValue(v.value()));
    }
}

namespace {

// The letters of every 12-bit group: two per look-up, so that three bytes
// take two look-ups.
constexpr std::array<char, 2 * 4096> makeLetterPairs() {
    constexpr const char* k_ALPHABET =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::array<char, 2 * 4096> pairs{};
    for (size_t i = 0; i < 4096; ++i) {
        pairs[2 * i] = k_ALPHABET[i >> 6];
        pairs[2 * i + 1] = k_ALPHABET[i & 63];
    }
    return pairs;
}
constexpr std::array<char, 2 * 4096> k_LETTER_PAIRS = makeLetterPairs();

}  // namespace

std::string base64Encode(std::string_view bytes) {
    const size_t n = bytes.size();
    std::string out((n + 2) / 3 * 4, '=');
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    char* o = out.data();
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Six bytes at a time from one 8-byte load, while eight can be read.
        for (; i + 8 <= n; i += 6, o += 8) {
            uint64_t word;
            std::memcpy(&word, b + i, 8);
            word = __builtin_bswap64(word) >> 16;  // the six bytes, first one highest
            std::memcpy(o, &k_LETTER_PAIRS[2 * (word >> 36)], 2);
            std::memcpy(o + 2, &k_LETTER_PAIRS[2 * ((word >> 24) & 0xFFF)], 2);
            std::memcpy(o + 4, &k_LETTER_PAIRS[2 * ((word >> 12) & 0xFFF)], 2);
            std::memcpy(o + 6, &k_LETTER_PAIRS[2 * (word & 0xFFF)], 2);
        }
    }
    for (; i + 3 <= n; i += 3, o += 4) {
        const uint32_t group = uint32_t{b[i]} << 16 | uint32_t{b[i + 1]} << 8 | b[i + 2];
        std::memcpy(o, &k_LETTER_PAIRS[2 * (group >> 12)], 2);
        std::memcpy(o + 2, &k_LETTER_PAIRS[2 * (group & 0xFFF)], 2);
    }
    if (i < n) {
        // One or two bytes left: two or three letters, the rest stays "=".
        const uint32_t group = uint32_t{b[i]} << 16 | (i + 1 < n ? uint32_t{b[i + 1]} << 8 : 0);
        std::memcpy(o, &k_LETTER_PAIRS[2 * (group >> 12)], 2);
        if (i + 1 < n) {
            o[2] = k_LETTER_PAIRS[2 * ((group >> 6) & 0xFFF) + 1];
        }
    }
    return out;
}
