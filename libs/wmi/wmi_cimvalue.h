// wmi_cimvalue.h                                                   -*-C++-*-
//
// CIM values of the stand-in: the CIM types, one value of a property (null,
// a scalar or an array), reading a value from text as WQL and Put do, and the
// conversion to and from VARIANTs as the scripting interface gives them.
// Also the rule every name of the stand-in is matched by: ASCII case
// folding.
//
// Owns no state: values are plain data and every function is reentrant, so
// any thread may call them.
#ifndef INCLUDED_WMI_CIMVALUE
#define INCLUDED_WMI_CIMVALUE

#include "wmi_com.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace wmi::standin {

// ASCII case folding, without a call into the locale: lookups compare many names.
inline char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII case-insensitive equality, the rule for every name.
bool equalsNoCase(std::string_view a, std::string_view b);

// ---------------------------------------------------------------- CIM types
enum class CimBase : uint8_t {
    e_STRING,
    e_BOOLEAN,
    e_SINT8,
    e_UINT8,
    e_SINT16,
    e_UINT16,
    e_SINT32,
    e_UINT32,
    e_SINT64,
    e_UINT64,
    e_REAL32,
    e_REAL64,
    e_DATETIME,
    e_CHAR16
};

struct CimType {
    CimBase d_base = CimBase::e_STRING;
    bool d_array = false;
};

// True for string and datetime, the types held as text.
bool isTextBase(CimBase base);

// The MOF keyword of a type ("uint32"); false for an unknown word.
bool cimBaseFromName(std::string_view name, CimBase* out);
const char* cimBaseName(CimBase base);
// The CIM_* code (with CIM_FLAG_ARRAY for arrays).
CIMTYPE cimTypeCode(CimType type);

// One element of a value.  Strings and datetimes hold UTF-8 text, signed
// types int64_t, unsigned types and char16 uint64_t, reals double.
using Scalar = std::variant<bool, int64_t, uint64_t, double, std::string>;

struct Value {
    bool d_null = true;
    std::vector<Scalar> d_items;  // one item for a scalar value
    // The items of a uint8 array once more as bytes ('packBytes'), so that
    // blobs such as photos convert in one copy; null for other values (a
    // pointer, so that every other value stays small).  Used only while it
    // holds as many bytes as there are items.
    std::shared_ptr<const std::string> d_bytes;

    static Value null() { return Value(); }
    static Value scalar(Scalar s) {
        Value v;
        v.d_null = false;
        v.d_items.push_back(std::move(s));
        return v;
    }
    // Fills 'd_bytes' when 'base' is uint8 and every item is a byte.
    void packBytes(CimBase base);
};

// Reads 'text' as a value of 'base' the way WMI compares a WQL literal or
// coerces a string (numbers in decimal or 0x hex, range-checked; booleans
// "true"/"false"/"1"/"0").  False when it does not fit.
bool scalarFromText(CimBase base, std::string_view text, Scalar* out);
// Range-checks an integer for 'base'.
bool scalarFromInteger(CimBase base, int64_t value, Scalar* out);
bool scalarFromUnsigned(CimBase base, uint64_t value, Scalar* out);
// Text of an element ("12", "TRUE", the string itself).
std::string scalarText(const Scalar& s);
// Equality as WQL compares: strings without regard to case, numbers by value.
bool scalarEquals(const Scalar& a, const Scalar& b);

// Fills 'out' (initialised by the caller) by the scripting conversion:
// string, datetime, sint64, uint64 -> VT_BSTR; boolean -> VT_BOOL; sint8,
// sint16 -> VT_I2; uint8 -> VT_UI1; uint16, sint32, uint32, char16 -> VT_I4;
// real32 -> VT_R4; real64 -> VT_R8; arrays -> VT_ARRAY of that element type;
// a null value -> VT_NULL.
void valueToVariant(CimType type, const Value& value, VARIANT* out);

// Converts a VARIANT for a property of 'type' as Put does (VT_NULL and
// VT_EMPTY give null; numbers and decimal text convert when they fit).
// Answers WBEM_E_TYPE_MISMATCH when they do not.
HRESULT valueFromVariant(CimType type, const VARIANT& in, Value* out);

}  // namespace wmi::standin

#endif
