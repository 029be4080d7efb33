// wmi_objectpath.h                                                 -*-C++-*-
//
// WMI object paths of the stand-in: the relative path an instance shows as
// __RELPATH, reading a class or instance path as GetObject and ExecMethod
// take it, and finding the instance a path names.
//
// Owns no state; every function is reentrant, so any thread may call them.
#ifndef INCLUDED_WMI_OBJECTPATH
#define INCLUDED_WMI_OBJECTPATH

#include "wmi_repository.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wmi::standin {

// The WMI relative path: Class.Key="text" or Class.Key=12, keys in
// alphabetical order joined by ','; empty for a class without keys.
std::string relativePath(const Instance& instance);
std::string relativePath(const ClassDecl& cls, const std::vector<Value>& values);

// A path as GetObject and ExecMethod read it.
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

}  // namespace wmi::standin

#endif
