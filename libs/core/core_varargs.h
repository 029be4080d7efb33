// core_varargs.h                                                  -*-C++-*-
//
// The type-checked printf-like formatter behind every log line and many
// composed strings.  Arguments travel as a variadic pack; each one is turned
// into a 'FormatArg' carrying its static type, and every conversion in the
// format is checked against that type.  A mismatch never reads a wrong value:
// it is reported as a failed check and a neutral placeholder is written.
//
// Thread safety: all functions are reentrant.
#ifndef INCLUDED_CORE_VARARGS
#define INCLUDED_CORE_VARARGS

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace core {

// A signed duration in microseconds; formatted as its duration text ("1.500ms",
// "1m 01.500s") by any conversion.
struct Microseconds {
    int64_t d_us;
    constexpr explicit Microseconds(int64_t us = 0) : d_us(us) {}
};

// One argument of a format call with its static type.  Built only by the
// templates below.
struct FormatArg {
    enum Type : uint8_t {
        e_BOOL,
        e_CHAR,
        e_INT,
        e_UINT,
        e_DOUBLE,
        e_CSTR,
        e_STR,
        e_PTR,
        e_DURATION
    };
    Type d_type;
    union {
        bool d_bool;
        char d_char;
        int64_t d_int;
        uint64_t d_uint;
        double d_double;
        const char* d_cstr;
        const void* d_ptr;
    };
    std::string_view d_str;  // e_STR
    uint8_t d_bytes = 8;     // e_INT, e_UINT: size of the original integer type
};

// One conversion directive, filled while scanning a format.
struct FormatDirective {
    enum Flag : uint8_t { e_LEFT = 1, e_ZERO = 2, e_PLUS = 4, e_SPACE = 8 };
    const char* d_start = nullptr;  // the '%' that opened the directive
    uint8_t d_flags = 0;
    char d_conversion = 0;
    int32_t d_width = 0;
    int32_t d_precision = -1;  // -1: none given
};

// Location numbers reported in the mismatch message "core_varargs:%d: ...",
// one per rejecting rule, and the source lines of the checks raised here.
namespace varargs_loc {
constexpr int k_BOOL = 412;
constexpr int k_DOUBLE = 504;
constexpr int k_CSTR = 249;  // C strings and string objects
constexpr int k_CHAR = 349;
constexpr int k_PTR = 311;
constexpr int k_INT = 336;  // integers and durations
constexpr int k_NO_ARG = 480;
constexpr int k_LINE_MISMATCH = 16;
constexpr int k_LINE_UNKNOWN = 35;
constexpr int k_LINE_SHORT_WIDTH = 65;
constexpr int k_LINE_COUNT = 462;
}  // namespace varargs_loc

namespace varargs_detail {

inline FormatArg make(bool v) {
    FormatArg a{FormatArg::e_BOOL, {}, {}};
    a.d_bool = v;
    return a;
}
inline FormatArg make(char v) {
    FormatArg a{FormatArg::e_CHAR, {}, {}};
    a.d_char = v;
    return a;
}
inline FormatArg make(double v) {
    FormatArg a{FormatArg::e_DOUBLE, {}, {}};
    a.d_double = v;
    return a;
}
inline FormatArg make(float v) {
    return make(static_cast<double>(v));
}
inline FormatArg make(const char* v) {
    FormatArg a{FormatArg::e_CSTR, {}, {}};
    a.d_cstr = v;
    return a;
}
inline FormatArg make(char* v) {
    return make(static_cast<const char*>(v));
}
inline FormatArg make(std::string_view v) {
    FormatArg a{FormatArg::e_STR, {}, v};
    a.d_int = 0;
    return a;
}
inline FormatArg make(const std::string& v) {
    return make(std::string_view(v));
}
inline FormatArg make(Microseconds v) {
    FormatArg a{FormatArg::e_DURATION, {}, {}};
    a.d_int = v.d_us;
    return a;
}
inline FormatArg make(std::nullptr_t) {
    FormatArg a{FormatArg::e_PTR, {}, {}};
    a.d_ptr = nullptr;
    return a;
}
template <class T>
inline FormatArg make(T* v) {
    FormatArg a{FormatArg::e_PTR, {}, {}};
    a.d_ptr = static_cast<const void*>(v);
    return a;
}
template <class T>
requires(std::is_integral_v<T> && !std::is_same_v<T, bool> &&
         !std::is_same_v<T, char>) inline FormatArg make(T v) {
    FormatArg a{std::is_signed_v<T> ? FormatArg::e_INT : FormatArg::e_UINT, {}, {}};
    a.d_bytes = static_cast<uint8_t>(sizeof(T));
    if constexpr (std::is_signed_v<T>) {
        a.d_int = v;
    } else {
        a.d_uint = v;
    }
    return a;
}
template <class T>
requires std::is_enum_v<T>
inline FormatArg make(T v) {
    return make(static_cast<std::underlying_type_t<T>>(v));
}

}  // namespace varargs_detail

// Formats 'args' (already converted) by 'format' and appends to 'out'.
void vAppendFormat(std::string* out, const char* format, const FormatArg* args, int numArgs);

// The same, appending 'prefix' first; the reservation covers both, so a
// line of prefix and message costs one allocation.
void vAppendFormat(std::string* out, std::string_view prefix, const char* format,
                   const FormatArg* args, int numArgs);

// Appends the text of 'format' with 'args' to 'out'.
template <class... Args>
void strAppendFormat(std::string& out, const char* format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        vAppendFormat(&out, format, nullptr, 0);
    } else {
        const FormatArg packed[] = {varargs_detail::make(args)...};
        vAppendFormat(&out, format, packed, static_cast<int>(sizeof...(Args)));
    }
}

// Returns the text of 'format' with 'args'.
template <class... Args>
std::string strFormat(const char* format, const Args&... args) {
    std::string out;
    strAppendFormat(out, format, args...);
    return out;
}

// Appends the duration text of 'us' microseconds ("0us", "1.500ms", "3s").
void appendDurationText(std::string* out, int64_t us);

}  // namespace core

#endif
