// wmi_text.cpp
#include "wmi_text.h"

#include <cstdint>
#include <cstdio>

namespace wmi {

Bstr& Bstr::operator=(Bstr&& other) noexcept {
    if (this != &other) {
        SysFreeString(d_bstr);
        d_bstr = other.d_bstr;
        other.d_bstr = nullptr;
    }
    return *this;
}

Bstr::~Bstr() {
    SysFreeString(d_bstr);
}

BSTR Bstr::release() {
    BSTR out = d_bstr;
    d_bstr = nullptr;
    return out;
}

namespace {

constexpr char32_t k_REPLACEMENT = 0xFFFD;

// Decodes one code point at 'pos' and advances it; malformed input yields
// U+FFFD for one byte.
char32_t decodeUtf8(std::string_view s, size_t& pos) {
    const unsigned char c = static_cast<unsigned char>(s[pos]);
    int extra;
    char32_t cp;
    if (c < 0x80) {
        ++pos;
        return c;
    } else if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        cp = c & 0x07;
    } else {
        ++pos;
        return k_REPLACEMENT;
    }
    if (pos + extra >= s.size()) {
        ++pos;
        return k_REPLACEMENT;
    }
    for (int i = 1; i <= extra; ++i) {
        const unsigned char cc = static_cast<unsigned char>(s[pos + i]);
        if ((cc & 0xC0) != 0x80) {
            ++pos;
            return k_REPLACEMENT;
        }
        cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values above U+10FFFF are refused.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return k_REPLACEMENT;
    }
    pos += extra + 1;
    return cp;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::basic_string<OLECHAR> toOleString(std::string_view utf8) {
    std::basic_string<OLECHAR> out;
    out.reserve(utf8.size());
    size_t pos = 0;
    while (pos < utf8.size()) {
        const char32_t cp = decodeUtf8(utf8, pos);
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            out += static_cast<OLECHAR>(0xD800 + (v >> 10));
            out += static_cast<OLECHAR>(0xDC00 + (v & 0x3FF));
        } else {
            out += static_cast<OLECHAR>(cp);
        }
    }
    return out;
}

Bstr toBstr(std::string_view utf8) {
    const std::basic_string<OLECHAR> wide = toOleString(utf8);
    return Bstr(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
}

std::string fromOleString(const OLECHAR* text, size_t length) {
    std::string out;
    if (text == nullptr) {
        return out;
    }
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const char32_t u = static_cast<uint16_t>(text[i]);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < length) {
            const char32_t low = static_cast<uint16_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        appendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? k_REPLACEMENT : u);
    }
    return out;
}

std::string fromOleStr(const OLECHAR* text) {
    if (text == nullptr) {
        return std::string();
    }
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return fromOleString(text, length);
}

std::string fromBstr(const BSTR text) {
    return text == nullptr ? std::string() : fromOleString(text, SysStringLen(text));
}

std::string errorMessage(HRESULT hr) {
    struct Entry {
        uint32_t d_code;
        const char* d_text;
    };
    static const Entry k_TABLE[] = {
        {0x00000000u, "The operation completed successfully."},
        {0x00000001u, "The operation completed, with a false result."},
        {0x80004001u, "Not implemented."},
        {0x80004002u, "No such interface supported."},
        {0x80004003u, "Invalid pointer."},
        {0x80004005u, "Unspecified error."},
        {0x8000FFFFu, "Catastrophic failure."},
        {0x80070005u, "Access is denied."},
        {0x8007000Eu, "Not enough memory resources are available to complete this operation."},
        {0x80070057u, "The parameter is incorrect."},
        {0x80040110u, "Class does not support aggregation (or class object is remote)."},
        {0x80040154u, "Class not registered."},
        {0x800401F0u, "CoInitialize has not been called."},
        {0x80010106u, "Cannot change thread mode after it is set."},
        {0x80010108u, "The object invoked has disconnected from its clients."},
        {0x80010119u,
         "Security must be initialized before any interfaces are marshalled or "
         "unmarshalled. It cannot be changed once initialized."},
        {0x800706BAu, "The RPC server is unavailable."},
        {0x80020005u, "Type mismatch."},
        {0x8002000Au, "Out of present range."},
        {0x8002000Bu, "Invalid index."},
        {0x80020008u, "Bad variable type."},
        {0x80041001u, "Generic failure."},
        {0x80041002u, "Not found."},
        {0x80041003u, "Access denied."},
        {0x80041004u, "Provider failure."},
        {0x80041005u, "Type mismatch."},
        {0x80041006u, "Out of memory."},
        {0x80041007u, "Invalid context."},
        {0x80041008u, "Invalid parameter."},
        {0x80041009u, "Not available."},
        {0x8004100Au, "Critical error."},
        {0x8004100Cu, "Not supported."},
        {0x8004100Eu, "Invalid namespace."},
        {0x8004100Fu, "Invalid object."},
        {0x80041010u, "Invalid class."},
        {0x80041011u, "Provider not found."},
        {0x80041015u, "Transport failure."},
        {0x80041016u, "Invalid operation."},
        {0x80041017u, "Invalid query."},
        {0x80041018u, "Invalid query language."},
        {0x80041019u, "Already exists."},
        {0x8004101Du, "Unexpected error."},
        {0x8004101Eu, "Illegal operation."},
        {0x80041021u, "Invalid syntax."},
        {0x80041023u, "Read only."},
        {0x80041024u, "Provider not capable."},
        {0x80041028u, "Illegal null value."},
        {0x8004102Bu, "Value out of range."},
        {0x8004102Eu, "Invalid method."},
        {0x8004102Fu, "Invalid method parameters."},
        {0x80041030u, "System property."},
        {0x80041031u, "Invalid property."},
        {0x80041032u, "Call cancelled."},
        {0x80041033u, "Shutting down."},
        {0x8004103Au, "Invalid object path."},
        {0x80041054u, "Not an event class."},
        {0x80041064u, "User credentials cannot be used for local connections."},
        {0x80041069u, "Operation timed out."},
    };
    const uint32_t code = static_cast<uint32_t>(hr);
    for (const Entry& e : k_TABLE) {
        if (e.d_code == code) {
            return e.d_text;
        }
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "Unknown error 0x%x", code);
    return buf;
}

}  // namespace wmi
