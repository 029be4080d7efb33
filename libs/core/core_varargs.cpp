#include "core_varargs.h"

#include <cstdio>
#include <cstring>

#include "core_assert.h"

namespace core {

namespace {

constexpr std::string_view k_SOURCE = "core_varargs";
constexpr int k_MAX_FORMAT_LEN = 10000;
constexpr int k_NUMBER_GUESS = 12;
constexpr int k_CSTR_GUESS = 24;
// Widths and precisions come from our own formats; the cap only keeps a typo
// such as "%99999999d" from reserving a gigabyte.
constexpr int32_t k_MAX_FIELD = 1 << 20;

void reportMismatch(int location, const FormatDirective& dir, const char* format) {
    Assert::fail(
        "CHECKF", k_SOURCE, varargs_loc::k_LINE_MISMATCH, 0,
        strFormat("core_varargs:%d: ch=%c format='%s'", location, dir.d_conversion, format));
}

void appendSpaces(std::string* out, int32_t n) {
    if (n > 0) {
        out->append(static_cast<size_t>(n), ' ');
    }
}

// Writes 'text' by the rules for text: precision truncates, "S" shortens to
// the width with "...", everything else pads with spaces.
void appendText(std::string* out, std::string_view text, const FormatDirective& dir) {
    if (dir.d_precision > 0 && static_cast<size_t>(dir.d_precision) < text.size()) {
        text = text.substr(0, static_cast<size_t>(dir.d_precision));
    }
    if (dir.d_conversion == 'S') {
        if (dir.d_width > 0 && static_cast<size_t>(dir.d_width) < text.size()) {
            if (dir.d_width >= 4) {
                out->append(text.substr(0, static_cast<size_t>(dir.d_width - 3)));
                out->append("...");
                return;
            }
            Assert::fail("false", k_SOURCE, varargs_loc::k_LINE_SHORT_WIDTH, 0, {});
            text = text.substr(0, static_cast<size_t>(dir.d_width));
        }
        out->append(text);
        return;
    }
    const int32_t pad = dir.d_width - static_cast<int32_t>(text.size());
    if (dir.d_flags & FormatDirective::e_LEFT) {
        out->append(text);
        appendSpaces(out, pad);
    } else {
        appendSpaces(out, pad);
        out->append(text);
    }
}

// Writes 'digits' with an optional sign character by the integer rules.
void appendDigits(std::string* out, char sign, std::string_view digits, const FormatDirective& dir,
                  int32_t width) {
    const int32_t len = static_cast<int32_t>(digits.size()) + (sign ? 1 : 0);
    const int32_t pad = width - len;
    if (dir.d_flags & FormatDirective::e_ZERO) {
        if (sign) {
            out->push_back(sign);
        }
        if (pad > 0) {
            out->append(static_cast<size_t>(pad), '0');
        }
        out->append(digits);
        return;
    }
    if (!(dir.d_flags & FormatDirective::e_LEFT)) {
        appendSpaces(out, pad);
    }
    if (sign) {
        out->push_back(sign);
    }
    out->append(digits);
    if (dir.d_flags & FormatDirective::e_LEFT) {
        appendSpaces(out, pad);
    }
}

// Converts 'value' to digits of 'base' at the end of 'buf'; answers the text.
std::string_view toDigits(char (&buf)[32], uint64_t value, unsigned base, bool upper) {
    const char* const digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char* end = buf + sizeof buf;
    char* p = end;
    do {
        *--p = digits[value % base];
        value /= base;
    } while (value);
    return std::string_view(p, static_cast<size_t>(end - p));
}

// Formats an integer whose conversion is one of d i u o x X.  'negative' and
// 'magnitude' give the signed value for d and i; 'bits' is the unsigned value
// used by the other conversions.
void appendInteger(std::string* out, bool negative, uint64_t magnitude, uint64_t bits,
                   FormatDirective dir) {
    int32_t width = dir.d_width;
    if (dir.d_precision > 0) {
        dir.d_flags |= FormatDirective::e_ZERO;
        width = dir.d_precision;
    }
    char buf[32];
    char sign = 0;
    std::string_view digits;
    switch (dir.d_conversion) {
        case 'd':
        case 'i':
            digits = toDigits(buf, magnitude, 10, false);
            if (negative) {
                sign = '-';
            } else if (dir.d_flags & FormatDirective::e_SPACE) {
                sign = ' ';
            } else if (dir.d_flags & FormatDirective::e_PLUS) {
                sign = '+';
            }
            break;
        case 'u':
            digits = toDigits(buf, bits, 10, false);
            break;
        case 'o':
            digits = toDigits(buf, bits, 8, false);
            break;
        case 'x':
            digits = toDigits(buf, bits, 16, false);
            break;
        default:
            digits = toDigits(buf, bits, 16, true);
            break;
    }
    appendDigits(out, sign, digits, dir, width);
}

void appendSigned(std::string* out, int64_t value, uint64_t bits, const FormatDirective& dir) {
    const bool negative = value < 0;
    const uint64_t magnitude =
        negative ? uint64_t(0) - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    appendInteger(out, negative, magnitude, bits, dir);
}

void appendPointer(std::string* out, const void* ptr, const FormatDirective& dir) {
    if (!ptr) {
        appendText(out, "(nil)", dir);
        return;
    }
    char buf[32];
    std::string_view digits = toDigits(buf, reinterpret_cast<uintptr_t>(ptr), 16, false);
    FormatDirective hex = dir;
    hex.d_flags &= static_cast<uint8_t>(~(FormatDirective::e_PLUS | FormatDirective::e_SPACE));
    int32_t width = dir.d_width - 2;
    if (dir.d_precision > 0) {
        hex.d_flags |= FormatDirective::e_ZERO;
        width = dir.d_precision;
    }
    out->append("0x");
    appendDigits(out, 0, digits, hex, width);
}

void appendDouble(std::string* out, double value, const FormatDirective& dir) {
    char fmt[8];
    int n = 0;
    fmt[n++] = '%';
    if (dir.d_precision >= 0) {
        fmt[n++] = '.';
        fmt[n++] = '*';
    }
    fmt[n++] = dir.d_conversion;
    fmt[n] = 0;
    char buf[24];
    int len = dir.d_precision >= 0 ? std::snprintf(buf, sizeof buf, fmt, dir.d_precision, value)
                                   : std::snprintf(buf, sizeof buf, fmt, value);
    if (len < 0) {
        return;
    }
    std::string_view text(buf, static_cast<size_t>(len));
    std::string big;
    if (static_cast<size_t>(len) >= sizeof buf) {
        // Never cut the digits of a large value: format it again at full size.
        big.resize(static_cast<size_t>(len) + 1);
        if (dir.d_precision >= 0) {
            std::snprintf(big.data(), big.size(), fmt, dir.d_precision, value);
        } else {
            std::snprintf(big.data(), big.size(), fmt, value);
        }
        big.resize(static_cast<size_t>(len));
        text = big;
    }
    FormatDirective padOnly = dir;
    padOnly.d_precision = -1;
    padOnly.d_conversion = 'f';
    appendText(out, text, padOnly);
}

bool isFloatConversion(char c) {
    return c && std::strchr("aAeEfFgG", c);
}
bool isIntConversion(char c) {
    return c && std::strchr("diouxX", c);
}

// Writes the neutral placeholder for a conversion that got no usable argument.
void appendPlaceholder(std::string* out, const FormatDirective& dir) {
    const char c = dir.d_conversion;
    if (isFloatConversion(c)) {
        appendDouble(out, 0.0, dir);
    } else if (isIntConversion(c)) {
        appendInteger(out, false, 0, 0, dir);
    } else if (c == 'c') {
        out->push_back('?');
    } else if (c == 'p') {
        appendText(out, "(nil)", dir);
    } else if (c != 's') {
        Assert::fail("CHECKF", k_SOURCE, varargs_loc::k_LINE_UNKNOWN, 0, std::string(1, c));
    }
}

void mismatch(std::string* out, int location, const FormatDirective& dir, const char* format) {
    reportMismatch(location, dir, format);
    appendPlaceholder(out, dir);
}

void appendChar(std::string* out, char c) {
    if (c) {
        out->push_back(c);
    }
}

// The unsigned value of an integer argument as its own type holds it.
uint64_t unsignedBits(const FormatArg& a) {
    const uint64_t raw = a.d_type == FormatArg::e_INT ? static_cast<uint64_t>(a.d_int) : a.d_uint;
    if (a.d_bytes >= 8) {
        return raw;
    }
    return raw & ((uint64_t(1) << (a.d_bytes * 8)) - 1);
}

void appendArg(std::string* out, const FormatArg& a, const FormatDirective& dir,
               const char* format) {
    const char c = dir.d_conversion;
    switch (a.d_type) {
        case FormatArg::e_BOOL:
            if (c == 'b') {
                appendText(out, a.d_bool ? "true" : "false", dir);
            } else if (c == 'y') {
                appendText(out, a.d_bool ? "yes" : "no", dir);
            } else if (isIntConversion(c)) {
                appendInteger(out, false, a.d_bool, a.d_bool, dir);
            } else {
                mismatch(out, varargs_loc::k_BOOL, dir, format);
            }
            return;
        case FormatArg::e_CHAR:
            if (c == 'c') {
                appendChar(out, a.d_char);
            } else if (isIntConversion(c)) {
                // As the C library does: the char is promoted to int.
                const int v = a.d_char;
                appendSigned(out, v, static_cast<uint32_t>(v), dir);
            } else {
                mismatch(out, varargs_loc::k_CHAR, dir, format);
            }
            return;
        case FormatArg::e_INT:
            if (c == 'c') {
                appendChar(out, static_cast<char>(a.d_int));
            } else if (isIntConversion(c)) {
                appendSigned(out, a.d_int, unsignedBits(a), dir);
            } else {
                mismatch(out, varargs_loc::k_INT, dir, format);
            }
            return;
        case FormatArg::e_UINT:
            if (c == 'c') {
                appendChar(out, static_cast<char>(a.d_uint));
            } else if (isIntConversion(c)) {
                appendInteger(out, false, a.d_uint, unsignedBits(a), dir);
            } else {
                mismatch(out, varargs_loc::k_INT, dir, format);
            }
            return;
        case FormatArg::e_DOUBLE:
            if (isFloatConversion(c)) {
                appendDouble(out, a.d_double, dir);
            } else {
                mismatch(out, varargs_loc::k_DOUBLE, dir, format);
            }
            return;
        case FormatArg::e_CSTR:
            if (c == 's' || c == 'S') {
                appendText(out, a.d_cstr ? std::string_view(a.d_cstr) : "(null)", dir);
            } else if (c == 'p') {
                appendPointer(out, a.d_cstr, dir);
            } else {
                mismatch(out, varargs_loc::k_CSTR, dir, format);
            }
            return;
        case FormatArg::e_STR:
            if (c == 's' || c == 'S') {
                appendText(out, a.d_str, dir);
            } else {
                mismatch(out, varargs_loc::k_CSTR, dir, format);
            }
            return;
        case FormatArg::e_PTR:
            if (c == 'p') {
                appendPointer(out, a.d_ptr, dir);
            } else {
                mismatch(out, varargs_loc::k_PTR, dir, format);
            }
            return;
        case FormatArg::e_DURATION: {
            std::string text;
            appendDurationText(&text, a.d_int);
            appendText(out, text, dir);
            return;
        }
    }
}

int32_t parseNumber(const char*& p) {
    int32_t n = 0;
    while (*p >= '0' && *p <= '9') {
        if (n < k_MAX_FIELD) {
            n = n * 10 + (*p - '0');
        }
        ++p;
    }
    return n < k_MAX_FIELD ? n : k_MAX_FIELD;
}

// Parses the directive after '%' at 'p'; answers the position after the
// conversion character (or at the terminating NUL when there is none).
const char* parseSpec(const char* p, FormatDirective* dir) {
    dir->d_start = p - 1;
    for (;; ++p) {
        switch (*p) {
            case '-':
                dir->d_flags |= FormatDirective::e_LEFT;
                continue;
            case '0':
                dir->d_flags |= FormatDirective::e_ZERO;
                continue;
            case '+':
                dir->d_flags |= FormatDirective::e_PLUS;
                continue;
            case ' ':
                dir->d_flags |= FormatDirective::e_SPACE;
                continue;
            case '#':
                continue;
            default:
                break;
        }
        break;
    }
    dir->d_width = parseNumber(p);
    if (*p == '.') {
        ++p;
        dir->d_precision = parseNumber(p);
    }
    switch (*p) {
        case 'h':
        case 'l':
            if (p[1] == *p) {
                ++p;
            }
            ++p;
            break;
        case 'L':
        case 'j':
        case 't':
        case 'z':
            ++p;
            break;
        default:
            break;
    }
    dir->d_conversion = *p;
    return *p ? p + 1 : p;
}

size_t estimateLength(const char* format, const FormatArg* args, int numArgs) {
    size_t n = format ? strnlen(format, k_MAX_FORMAT_LEN) : 5;
    for (int i = 0; i < numArgs; ++i) {
        switch (args[i].d_type) {
            // Not measured: a char pointer printed with "%p" need not end in a NUL.
            case FormatArg::e_CSTR:
                n += k_CSTR_GUESS;
                break;
            case FormatArg::e_STR:
                n += args[i].d_str.size();
                break;
            default:
                n += k_NUMBER_GUESS;
                break;
        }
    }
    return n;
}

void appendUnsigned(std::string* out, uint64_t v) {
    char buf[32];
    out->append(toDigits(buf, v, 10, false));
}

void appendTwoDigits(std::string* out, uint64_t v) {
    out->push_back(static_cast<char>('0' + v / 10 % 10));
    out->push_back(static_cast<char>('0' + v % 10));
}

void appendThreeDigits(std::string* out, uint64_t v) {
    out->push_back(static_cast<char>('0' + v / 100 % 10));
    appendTwoDigits(out, v % 100);
}

// The millisecond duration text of a magnitude 'ms'.
void appendMilliseconds(std::string* out, uint64_t ms) {
    const uint64_t s = ms / 1000;
    const uint64_t frac = ms % 1000;
    if (frac == 0) {
        if (s < 60) {
            appendUnsigned(out, s);
        } else if (s < 3600) {
            appendUnsigned(out, s / 60);
            out->append("m ");
            appendTwoDigits(out, s % 60);
        } else {
            appendUnsigned(out, s / 3600);
            out->append("h ");
            appendUnsigned(out, s / 60 % 60);
            out->append("m ");
            appendTwoDigits(out, s % 60);
        }
        out->push_back('s');
        return;
    }
    if (s == 0) {
        appendUnsigned(out, ms);
        out->append("ms");
        return;
    }
    if (s >= 3600) {
        appendUnsigned(out, s / 3600);
        out->append("h ");
    }
    if (s >= 60) {
        appendUnsigned(out, s / 60 % 60);
        out->append("m ");
        appendTwoDigits(out, s % 60);
    } else {
        appendUnsigned(out, s);
    }
    out->push_back('.');
    appendThreeDigits(out, frac);
    out->push_back('s');
}

}  // namespace

void appendDurationText(std::string* out, int64_t us) {
    if (us == 0) {
        out->append("0us");
        return;
    }
    const bool negative = us < 0;
    const uint64_t mag = negative ? uint64_t(0) - static_cast<uint64_t>(us) : uint64_t(us);
    if (negative) {
        out->push_back('-');
    }
    if (mag % 1000 == 0 || mag > 999999) {
        appendMilliseconds(out, mag / 1000);
        return;
    }
    appendUnsigned(out, mag / 1000);
    out->push_back('.');
    if (mag < 100000) {
        appendThreeDigits(out, mag % 1000);
    } else {
        appendUnsigned(out, mag % 1000 / 100);
    }
    out->append("ms");
}

void vAppendFormat(std::string* out, const char* format, const FormatArg* args, int numArgs) {
    vAppendFormat(out, std::string_view(), format, args, numArgs);
}

void vAppendFormat(std::string* out, std::string_view prefix, const char* format,
                   const FormatArg* args, int numArgs) {
    const size_t estimate = prefix.size() + estimateLength(format, args, numArgs);
    out->reserve(out->size() + estimate + estimate / 10);
    out->append(prefix);

    int conversions = 0;
    int next = 0;
    if (format) {
        const char* p = format;
        while (*p) {
            const char* lit = p;
            while (*p && *p != '%') {
                ++p;
            }
            if (p != lit) {
                out->append(lit, static_cast<size_t>(p - lit));
            }
            if (!*p) {
                break;
            }
            if (p[1] == '%') {
                out->push_back('%');
                p += 2;
                continue;
            }
            if (!p[1]) {
                break;
            }
            ++conversions;
            FormatDirective dir;
            p = parseSpec(p + 1, &dir);
            if (!dir.d_conversion) {
                break;
            }
            if (next < numArgs) {
                appendArg(out, args[next++], dir, format);
            } else {
                mismatch(out, varargs_loc::k_NO_ARG, dir, format);
            }
        }
    }
    if (conversions != numArgs) {
        Assert::fail("CHECKF", k_SOURCE, varargs_loc::k_LINE_COUNT, 0,
                     strFormat("format='%s' args_in_format_string=%d args_in_parameter_pack=%d",
                               format, conversions, numArgs));
    }
}

}  // namespace core
