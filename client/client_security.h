// client_security.h                                               -*-C++-*-
//
// 'SecurityPolicy': what the NVR may reach through the service, from the
// section "Security" of the settings file.  "Namespaces" lists the WMI
// namespaces the NVR may connect, "Methods" the methods it may execute, as
// "Class.Method".  Section and key names are read without regard to case;
// lists are comma-separated (blanks around the commas allowed, or the whole
// value in double quotes) and compared without regard to case; a namespace
// may be written with or without a leading "\\.\".  Without the section the
// NVR may use everything (what existing NVRs rely on).  With it, a missing
// or empty key, "none", or a value that cannot be read allows nothing, and
// "*" everything: reading never fails open.
//
// Also here: the object-path check of a method's target, and the refusal of
// control characters in what the NVR names.
//
// Thread safety: a value type; const access may be shared.
#ifndef INCLUDED_CLIENT_SECURITY
#define INCLUDED_CLIENT_SECURITY

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct Message;

class SecurityPolicy {
  public:
    // What reading the section found worth a log line.
    struct Finding {
        bool critical;  // CRIT, else WARN
        std::string text;
    };

    // CREATORS
    // Everything allowed, as without a section "Security".
    SecurityPolicy() = default;
    // The policy the section "Security" of the settings text 'settings'
    // states; what could not be read goes to 'findings', naming 'origin' and
    // the line.
    static SecurityPolicy fromText(std::string_view settings, const std::string& origin,
                                   std::vector<Finding>* findings);

    // ACCESSORS
    bool allowsNamespace(const std::string& path) const;
    bool allowsMethod(const std::string& className, const std::string& method) const;
    // One sentence for the log: what the NVR may use.
    std::string describe() const;
    // The settings that leave the NVR unrestricted, in words ("" when none):
    // "no section Security", "Namespaces=*", "Methods=*" or both of these.
    std::string unrestrictedBy() const;

    bool operator==(const SecurityPolicy& other) const {
        return d_namespaces == other.d_namespaces && d_methods == other.d_methods &&
               d_section == other.d_section;
    }
    bool operator!=(const SecurityPolicy& other) const { return !(*this == other); }

  private:
    // No value: everything allowed.  Names as written; matched by key.
    using List = std::optional<std::vector<std::string>>;
    static bool contains(const List& list, const std::string& key,
                         std::string (*keyOf)(const std::string&));
    static std::string listText(const List& list);

    List d_namespaces;
    List d_methods;
    bool d_section = false;  // the settings hold a section "Security"
};

// Why the method must not run on 'target' (empty: it may).  The target is an
// object path: optional "\\server\namespace:", the class, then ".key=value"
// pairs separated by commas or "=value" or "=@"; values in double or single
// quotes with backslash escapes, or plain numbers and words.  Refused: a
// path that does not read so, a server other than "." or this machine
// ('localHost'), a namespace other than 'connectedNamespace', a class other
// than 'className'.
std::string methodTargetProblem(const std::string& target, const std::string& className,
                                const std::string& connectedNamespace,
                                const std::string& localHost);

// The name of the first field of 'request' that WMI would be given and that
// holds a control character (a byte below 0x20, or 0x7F); null when none.
const char* fieldWithControlCharacter(const Message& request);

#endif
