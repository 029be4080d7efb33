// wmi_wql.h                                                        -*-C++-*-
//
// The WQL subset of the stand-in: reading a query, checking it against a
// namespace's classes (each literal read as its property's type) and matching
// instances against the checked query, as ExecQuery and event subscriptions do.
//
// Owns no state; every function is reentrant, so any thread may call them.
#ifndef INCLUDED_WMI_WQL
#define INCLUDED_WMI_WQL

#include "wmi_repository.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wmi::standin {

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
