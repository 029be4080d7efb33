// Provisional formatter: to be replaced by the complete engine.
#include "core_varargs.h"

#include <cstdio>
#include <cstring>

namespace core {

void appendDurationText(std::string* out, int64_t us) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%lldus", static_cast<long long>(us));
    out->append(buf);
}

void vAppendFormat(std::string* out, const char* format, const FormatArg* args, int numArgs) {
    if (!format) {
        return;
    }
    int next = 0;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            out->push_back(*p);
            continue;
        }
        if (p[1] == '%') {
            out->push_back('%');
            ++p;
            continue;
        }
        if (!p[1]) {
            break;
        }
        const char* spec = p;
        ++p;
        while (*p && std::strchr("-0+ #.123456789hlLjtz", *p)) {
            ++p;
        }
        if (!*p) {
            break;
        }
        if (next >= numArgs) {
            continue;
        }
        const FormatArg& a = args[next++];
        std::string cfmt(spec, p - spec);
        std::string clean;
        for (char c : cfmt) {
            if (!std::strchr("hlLjtz", c)) {
                clean.push_back(c);
            }
        }
        char buf[64];
        switch (a.d_type) {
            case FormatArg::e_BOOL: out->append(a.d_bool ? "true" : "false"); break;
            case FormatArg::e_CHAR: out->push_back(a.d_char); break;
            case FormatArg::e_INT:
                std::snprintf(buf, sizeof buf, (clean + "lld").c_str(), static_cast<long long>(a.d_int));
                out->append(buf);
                break;
            case FormatArg::e_UINT:
                std::snprintf(buf, sizeof buf, (clean + (*p == 'x' ? "llx" : "llu")).c_str(),
                              static_cast<unsigned long long>(a.d_uint));
                out->append(buf);
                break;
            case FormatArg::e_DOUBLE:
                std::snprintf(buf, sizeof buf, (clean + "f").c_str(), a.d_double);
                out->append(buf);
                break;
            case FormatArg::e_CSTR: out->append(a.d_cstr ? a.d_cstr : "(null)"); break;
            case FormatArg::e_STR: out->append(a.d_str); break;
            case FormatArg::e_PTR:
                std::snprintf(buf, sizeof buf, "%p", a.d_ptr);
                out->append(buf);
                break;
            case FormatArg::e_DURATION: appendDurationText(out, a.d_int); break;
        }
    }
}

}  // namespace core
