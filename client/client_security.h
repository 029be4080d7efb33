// client_security.h                                               -*-C++-*-
//
// 'SecurityPolicy': what the NVR may reach through the service, from the
// section "Security" of the settings file.  "Namespaces" lists the WMI
// namespaces the NVR may connect, "Methods" the methods it may execute, as
// "Class.Method".  Both are comma-separated and compared without regard to
// case; a namespace may be written with or without a leading "\\.\".  A
// missing key allows everything, the value "none" nothing.
//
// Thread safety: a value type; const access may be shared.
#ifndef INCLUDED_CLIENT_SECURITY
#define INCLUDED_CLIENT_SECURITY

#include <optional>
#include <string>
#include <vector>

namespace utl {
class IniReader;
}

class SecurityPolicy {
  public:
    // CREATORS
    // Everything allowed.
    SecurityPolicy() = default;
    // The policy the section "Security" of 'ini' states.
    static SecurityPolicy fromIni(const utl::IniReader& ini);

    // ACCESSORS
    bool allowsNamespace(const std::string& path) const;
    // 'targetInstance' is the object path the method runs on (may be empty).
    bool allowsMethod(const std::string& className, const std::string& method,
                      const std::string& targetInstance) const;
    // One sentence for the log: what the NVR may use.
    std::string describe() const;

    bool operator==(const SecurityPolicy& other) const {
        return d_namespaces == other.d_namespaces && d_methods == other.d_methods;
    }
    bool operator!=(const SecurityPolicy& other) const { return !(*this == other); }

  private:
    // No value: everything allowed.  Names as written; matched by 'key'.
    using List = std::optional<std::vector<std::string>>;
    static List parseList(const utl::IniReader& ini, const char* key);
    static bool contains(const List& list, const std::string& key,
                         std::string (*keyOf)(const std::string&));
    static std::string listText(const List& list);

    List d_namespaces;
    List d_methods;
};

#endif
