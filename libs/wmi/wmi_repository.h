// wmi_repository.h                                                 -*-C++-*-
//
// The data behind the stand-in provider: namespaces holding classes (typed
// properties, methods with [in]/[out] signatures, fault qualifiers) and
// instances; CIM values and their conversion to and from VARIANTs; WMI object
// paths; and the WQL subset the service uses.  Names of namespaces, classes
// and properties are matched without regard to (ASCII) case, as WMI does.
//
// A 'Repository' is built once (by the MOF loader, wmi_mof.h) and then never
// changed: it is shared read-only by every thread through shared pointers.
#ifndef INCLUDED_WMI_REPOSITORY
#define INCLUDED_WMI_REPOSITORY

#include "wmi_com.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace wmi::standin {

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

// ---------------------------------------------------------------- schema
struct PropertyDecl {
    std::string d_name;
    CimType d_type;
    bool d_key = false;
    Value d_default;
};

struct ParamDecl {
    std::string d_name;
    CimType d_type;
    bool d_in = false;
    bool d_out = false;
};

struct MethodDecl {
    std::string d_name;
    bool d_has_return = false;  // false for 'void'
    CimType d_return_type;
    bool d_static = false;
    std::vector<ParamDecl> d_params;
    std::optional<HRESULT> d_exec_error;  // [ExecError(code)]
};

struct ClassDecl {
    std::string d_name;
    std::string d_namespace;                 // as written in its pragma
    std::vector<std::string> d_derivation;   // superclass first, then its superclass ...
    std::vector<PropertyDecl> d_properties;  // inherited ones first
    std::vector<MethodDecl> d_methods;
    std::optional<HRESULT> d_subscribe_error;  // [SubscribeError(code)]
    std::optional<HRESULT> d_query_error;      // [QueryError(code)]
    int d_latency_ms = 0;                      // [LatencyMs(n)]

    // -1 when there is no such property.
    int findProperty(std::string_view name) const;
    const MethodDecl* findMethod(std::string_view name) const;
    // True for this class and every class it derives from.
    bool isA(std::string_view className) const;
    bool hasKeys() const;
};

// The "__PARAMETERS" class of a method's input (in and in/out parameters) or
// output (out and in/out parameters, then "ReturnValue") signature.  Null
// when the signature has no properties, as the platform answers.
std::shared_ptr<const ClassDecl> makeSignature(const ClassDecl& owner, const MethodDecl& method,
                                               bool input);

struct Instance {
    std::shared_ptr<const ClassDecl> d_class;
    std::vector<Value> d_values;  // by property index of d_class
};

// The WMI relative path: Class.Key="text" or Class.Key=12, keys in
// alphabetical order joined by ','; empty for a class without keys.
std::string relativePath(const Instance& instance);
std::string relativePath(const ClassDecl& cls, const std::vector<Value>& values);

// ---------------------------------------------------------------- repository
struct Namespace {
    std::string d_name;  // as written, e.g. "root\AccessControl"
    std::vector<std::shared_ptr<const ClassDecl>> d_classes;
    std::vector<std::shared_ptr<const Instance>> d_instances;  // in file order

    std::shared_ptr<const ClassDecl> findClass(std::string_view name) const;
};

struct Repository {
    std::vector<Namespace> d_namespaces;

    // 'path' with or without "\\.\" or "\\localhost\" (or this machine's
    // name), with '/' or '\'.  Null when unknown.
    const Namespace* findNamespace(std::string_view path) const;
    Namespace* findNamespaceMutable(std::string_view path);
};

// The namespace part of 'path' with the server prefix removed and '/'
// turned into '\'; nullopt for a remote server or a malformed path.
std::optional<std::string> localNamespacePath(std::string_view path);

// True for ".", "localhost" and this machine's name, in any case.
bool isLocalServer(std::string_view server);

// This machine's name, as __SERVER and __PATH show it.
const std::string& serverName();

// ---------------------------------------------------------------- object paths
struct ObjectPath {
    std::string d_class;
    std::vector<std::pair<std::string, std::string>> d_keys;  // name, literal text
    bool d_instance = false;
};

// Class, Class.Key="v", Class.K1=1,K2="x", optionally after "\\server\ns:".
bool parseObjectPath(std::string_view text, ObjectPath* out);

// The instance of 'cls' (or a class derived from it) in 'ns' whose keys are
// those of 'path'; null when none.
std::shared_ptr<const Instance> findInstance(const Namespace& ns, const ClassDecl& cls,
                                             const ObjectPath& path);

// ---------------------------------------------------------------- WQL
struct WqlCondition {
    std::string d_property;
    std::string d_literal;
};

struct WqlQuery {
    std::string d_class;
    std::vector<WqlCondition> d_conditions;  // joined by AND
};

// "SELECT * FROM <class> [WHERE <p> = <literal> [AND ...]]"; literals in
// single or double quotes, or bare numbers.  False for anything else.
bool parseWql(std::string_view text, WqlQuery* out);

// A query checked against its class: each literal read as its property's type.
struct BoundQuery {
    std::shared_ptr<const ClassDecl> d_class;
    std::vector<std::pair<std::string, Scalar>> d_conditions;
};

// WBEM_E_INVALID_CLASS for an unknown class, WBEM_E_INVALID_QUERY for an
// unknown or array property or a literal that is not of the property's type.
HRESULT bindWql(const WqlQuery& query, const Namespace& ns, BoundQuery* out);

bool matches(const BoundQuery& query, const Instance& instance);

}  // namespace wmi::standin

#endif
