// wmi_repository.h                                                 -*-C++-*-
//
// The schema and data behind the stand-in provider: namespaces holding
// classes (typed properties, methods with [in]/[out] signatures, fault
// qualifiers) and instances, and how a namespace path names one of them
// (server prefix, either slash).  Names are matched without regard to
// (ASCII) case, as WMI does.
//
// A 'Repository' is built once (by the MOF loader, wmi_mof.h) and then never
// changed: it is shared read-only by every thread through shared pointers.
#ifndef INCLUDED_WMI_REPOSITORY
#define INCLUDED_WMI_REPOSITORY

#include "wmi_cimvalue.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wmi::standin {

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
    int d_latency_ms = 0;                 // [LatencyMs(n)]: provider time of one execution
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
}  // namespace wmi::standin

#endif
