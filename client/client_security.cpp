// The NVR's allow-lists, how they are read and compared, the object-path
// check of method targets, and the Client's reading of the settings file
// under the trust rule.

#include "client_security.h"

#include <cctype>

#include "client.h"
#include "core_v2masterlogger.h"
#include "cutl_settingstrust.h"
#include "utl_inireader.h"

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool isIdentifier(std::string_view text) {
    if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
            return false;
        }
    }
    return true;
}

// A namespace as WMI compares it: either slash, no local-machine prefix, any
// case.
std::string namespaceKey(const std::string& path) {
    std::string key = lower(path);
    for (char& c : key) {
        if (c == '/') {
            c = '\\';
        }
    }
    static const std::string k_LOCAL = "\\\\.\\";
    if (key.compare(0, k_LOCAL.size(), k_LOCAL) == 0) {
        key.erase(0, k_LOCAL.size());
    }
    return key;
}

bool isNamespaceName(std::string_view name) {
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '\\' && c != '/' &&
            c != '.') {
            return false;
        }
    }
    return !name.empty();
}

bool isMethodName(std::string_view name) {
    const size_t dot = name.find('.');
    return dot != std::string_view::npos && isIdentifier(name.substr(0, dot)) &&
           isIdentifier(name.substr(dot + 1));
}

// The line without its comment, as the INI reader cuts it: from the first
// "#" or ";" outside a stretch quoted with '"' or "'".
std::string_view withoutComment(std::string_view line) {
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '#' || c == ';') {
            return line.substr(0, i);
        }
    }
    return line;
}

// One list's value: false when it cannot be read.  Empty, "none": nothing;
// "*": everything (no value).
bool parseListValue(std::string_view value, bool (*isName)(std::string_view),
                    std::optional<std::vector<std::string>>* list) {
    if (!value.empty() && value.front() == '"') {
        if (value.size() < 2 || value.back() != '"') {
            return false;
        }
        value = trimmed(value.substr(1, value.size() - 2));
    }
    if (value.find('"') != std::string_view::npos) {
        return false;
    }
    std::vector<std::string> names;
    if (value == "*") {
        list->reset();
        return true;
    }
    if (!value.empty() && lower(value) != "none") {
        for (size_t start = 0;;) {
            size_t comma = value.find(',', start);
            const std::string_view name = trimmed(
                value.substr(start, comma == std::string_view::npos ? comma : comma - start));
            if (!isName(name)) {
                return false;
            }
            names.emplace_back(name);
            if (comma == std::string_view::npos) {
                break;
            }
            start = comma + 1;
        }
    }
    *list = std::move(names);
    return true;
}

}  // namespace

SecurityPolicy SecurityPolicy::fromText(std::string_view settings, const std::string& origin,
                                        std::vector<Finding>* findings) {
    SecurityPolicy policy;
    bool inSection = false;
    bool seenNamespaces = false;
    bool seenMethods = false;
    int lineNumber = 0;
    size_t start = 0;
    while (start < settings.size()) {
        size_t end = settings.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            end = settings.size();
        }
        ++lineNumber;
        const std::string_view line = trimmed(withoutComment(settings.substr(start, end - start)));
        start = end + 1;
        if (end < settings.size() && settings[end] == '\r' && start < settings.size() &&
            settings[start] == '\n') {
            ++start;  // CR LF ends one line
        }
        if (line.empty()) {
            continue;
        }
        const size_t keyEnd = line.find_first_of("= \t");
        const std::string_view first = line.substr(0, keyEnd);
        if (first.size() > 2 && first.front() == '[' && first.back() == ']') {
            inSection = lower(first.substr(1, first.size() - 2)) == "security";
            if (inSection && !policy.d_section) {
                // A present section allows only what it names.
                policy.d_section = true;
                policy.d_namespaces.emplace();
                policy.d_methods.emplace();
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        std::string_view value =
            keyEnd == std::string_view::npos ? std::string_view() : trimmed(line.substr(keyEnd));
        if (!value.empty() && value.front() == '=') {
            value = trimmed(value.substr(1));
        }
        const std::string key = lower(first);
        List* list = nullptr;
        bool* seen = nullptr;
        bool (*isName)(std::string_view) = nullptr;
        const char* name = nullptr;
        if (key == "namespaces") {
            list = &policy.d_namespaces;
            seen = &seenNamespaces;
            isName = isNamespaceName;
            name = "Namespaces";
        } else if (key == "methods") {
            list = &policy.d_methods;
            seen = &seenMethods;
            isName = isMethodName;
            name = "Methods";
        } else {
            findings->push_back({false, core::strFormat("Settings file '%s' line %d: unknown key "
                                                        "'%s' in section Security, ignored",
                                                        origin, lineNumber, first)});
            continue;
        }
        if (*seen) {
            list->emplace();
            findings->push_back({true, core::strFormat("Settings file '%s' line %d: %s given "
                                                       "twice in section Security, it allows "
                                                       "nothing",
                                                       origin, lineNumber, name)});
            continue;
        }
        *seen = true;
        if (!parseListValue(value, isName, list)) {
            list->emplace();
            findings->push_back({true, core::strFormat("Settings file '%s' line %d: the value of "
                                                       "%s cannot be read, it allows nothing",
                                                       origin, lineNumber, name)});
        }
    }
    return policy;
}

bool SecurityPolicy::contains(const List& list, const std::string& key,
                              std::string (*keyOf)(const std::string&)) {
    if (!list) {
        return true;
    }
    for (const std::string& name : *list) {
        if (keyOf(name) == key) {
            return true;
        }
    }
    return false;
}

bool SecurityPolicy::allowsNamespace(const std::string& path) const {
    return contains(d_namespaces, namespaceKey(path), namespaceKey);
}

bool SecurityPolicy::allowsMethod(const std::string& className, const std::string& method) const {
    auto lowered = [](const std::string& text) { return lower(text); };
    return contains(d_methods, lower(className + "." + method), +lowered);
}

std::string SecurityPolicy::listText(const List& list) {
    if (!list) {
        return "every one";
    }
    if (list->empty()) {
        return "none";
    }
    std::string text;
    for (const std::string& name : *list) {
        text += text.empty() ? "" : ", ";
        text += name;
    }
    return text;
}

std::string SecurityPolicy::describe() const {
    if (!d_namespaces && !d_methods) {
        return "The NVR may use every namespace and method";
    }
    return "The NVR may use namespaces: " + listText(d_namespaces) +
           "; methods: " + listText(d_methods);
}

std::string SecurityPolicy::unrestrictedBy() const {
    if (!d_section) {
        return "no section Security";
    }
    if (!d_namespaces && !d_methods) {
        return "Namespaces=* and Methods=*";
    }
    return !d_namespaces ? "Namespaces=*" : !d_methods ? "Methods=*" : "";
}

// ---------------------------------------------------------------------------
// Method targets

namespace {

bool isSlash(char c) {
    return c == '\\' || c == '/';
}

bool isNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// A key's value at '*at': quoted (either quote, backslash escapes) or a plain
// number or word.  Moves '*at' past it.
bool skipKeyValue(std::string_view text, size_t* at) {
    size_t i = *at;
    if (i >= text.size()) {
        return false;
    }
    const char quote = text[i];
    if (quote == '"' || quote == '\'') {
        for (++i; i < text.size(); ++i) {
            if (text[i] == '\\') {
                ++i;
            } else if (text[i] == quote) {
                *at = i + 1;
                return true;
            }
        }
        return false;
    }
    while (i < text.size() &&
           (isNameChar(text[i]) || text[i] == '-' || text[i] == '+' || text[i] == '.')) {
        ++i;
    }
    if (i == *at) {
        return false;
    }
    *at = i;
    return true;
}

struct ObjectPath {
    std::string server;     // empty: none given
    std::string nameSpace;  // empty: none given
    std::string className;
};

bool parseObjectPath(std::string_view text, ObjectPath* path) {
    size_t i = 0;
    if (text.size() >= 2 && isSlash(text[0]) && isSlash(text[1])) {
        size_t end = 2;
        while (end < text.size() && !isSlash(text[end]) && text[end] != ':') {
            ++end;
        }
        const size_t colon = text.find(':', end);
        if (end == 2 || end == text.size() || text[end] == ':' || colon == std::string::npos) {
            return false;
        }
        path->server = text.substr(2, end - 2);
        path->nameSpace = text.substr(end + 1, colon - end - 1);
        i = colon + 1;
    } else {
        size_t end = 0;
        while (end < text.size() && (isNameChar(text[end]) || isSlash(text[end]))) {
            ++end;
        }
        if (end < text.size() && text[end] == ':') {
            path->nameSpace = text.substr(0, end);
            i = end + 1;
        }
    }
    if (i > 0 && !isNamespaceName(path->nameSpace)) {
        return false;
    }
    size_t end = i;
    while (end < text.size() && isNameChar(text[end])) {
        ++end;
    }
    path->className = text.substr(i, end - i);
    if (!isIdentifier(path->className)) {
        return false;
    }
    i = end;
    if (i == text.size()) {
        return true;
    }
    if (text[i] == '=') {
        ++i;
        return text.substr(i) == "@" || (skipKeyValue(text, &i) && i == text.size());
    }
    if (text[i] != '.') {
        return false;
    }
    for (++i;;) {
        const size_t keyStart = i;
        while (i < text.size() && isNameChar(text[i])) {
            ++i;
        }
        if (!isIdentifier(text.substr(keyStart, i - keyStart)) || i == text.size() ||
            text[i] != '=') {
            return false;
        }
        ++i;
        if (!skipKeyValue(text, &i)) {
            return false;
        }
        if (i == text.size()) {
            return true;
        }
        if (text[i] != ',') {
            return false;
        }
        ++i;
    }
}

}  // namespace

std::string methodTargetProblem(const std::string& target, const std::string& className,
                                const std::string& connectedNamespace,
                                const std::string& localHost) {
    ObjectPath path;
    if (!parseObjectPath(target, &path)) {
        return "the target is not an object path";
    }
    const std::string server = lower(path.server);
    if (!server.empty() && server != "." && server != "localhost" && server != lower(localHost)) {
        return "the target names the server '" + path.server + "'";
    }
    if (!path.nameSpace.empty() &&
        namespaceKey(path.nameSpace) != namespaceKey(connectedNamespace)) {
        return "the target names the namespace '" + path.nameSpace + "'";
    }
    if (lower(path.className) != lower(className)) {
        return "the target is of class '" + path.className + "'";
    }
    return {};
}

const char* fieldWithControlCharacter(const Message& request) {
    auto holdsControl = [](const std::string& text) {
        for (char c : text) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                return true;
            }
        }
        return false;
    };
    if (holdsControl(request.class_name)) {
        return request.action == e_ACTION_NAMESPACE ? "namespace" : "class";
    }
    if (request.action == e_ACTION_EXECUTE) {
        if (holdsControl(request.method_name)) {
            return "method";
        }
        if (holdsControl(request.target_instance)) {
            return "target";
        }
    }
    for (const auto* list : {&request.params_in, &request.params_out}) {
        for (const Parameter& p : *list) {
            if (holdsControl(p.name)) {
                return "property";
            }
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// The settings file, read under the trust rule

void Client::readSettings() {
    const char* tag = "Client::readSettings";
    const std::string path = settingsPath();
    std::string text;
    std::string problem;
    const bool read = cutl::readTrustedSettings(path, &text, &problem);
    SecurityPolicy policy = d_policy;
    const bool starting = !d_policy_logged;
    bool changed = starting;
    if (!problem.empty()) {
        if (problem != d_trust_problem) {
            LOG_CRIT(tag, "Settings file '%s' not used, keeping NVR %s:%d: %s", path, d_nvr_address,
                     d_nvr_port, problem);
        }
        d_trust_problem = problem;
        if (d_trust_recheck_timer.empty()) {
            restartTimer(d_trust_recheck_timer, k_SETTINGS_WATCH_MS);
        }
    } else {
        d_trust_problem.clear();
        killTimer(d_trust_recheck_timer);
        utl::IniReader ini;
        if (read && ini.loadFileBytes(text, path)) {
            if (ini.hasSection("NVR")) {
                ini.getString("NVR", "Address", &d_nvr_address);
                ini.getInt("NVR", "Port", &d_nvr_port);
            } else {
                // Otherwise an edit that lost the header goes unnoticed.
                LOG_CRIT(tag, "Settings file '%s' has no section [NVR], keeping NVR %s:%d", path,
                         d_nvr_address, d_nvr_port);
            }
            if (starting || text != d_settings_text) {
                std::vector<SecurityPolicy::Finding> findings;
                std::string converted;
                policy = SecurityPolicy::fromText(utl::IniReader::textOf(text, &converted), path,
                                                  &findings);
                for (const SecurityPolicy::Finding& finding : findings) {
                    if (finding.critical) {
                        LOG_CRIT(tag, "%s", finding.text);
                    } else {
                        LOG_WARN(tag, "%s", finding.text);
                    }
                }
                d_settings_text = std::move(text);
                changed = true;
            }
        }
    }
    if (!d_policy_logged || policy != d_policy) {
        LOG_INFO(tag, "%s", policy.describe());
        d_policy = policy;
        d_policy_logged = true;
    }
    const std::string unrestricted = d_policy.unrestrictedBy();
    if (changed && !unrestricted.empty()) {
        LOG_WARN(tag,
                 "The NVR is unrestricted (%s in '%s'): whoever answers at %s:%d may use every "
                 "namespace or method left open there, as this service's account",
                 unrestricted, path, d_nvr_address, d_nvr_port);
    }
}

void Client::recheckSettingsTrust() {
    const std::string path = settingsPath();
    std::string text;
    std::string problem;
    cutl::readTrustedSettings(path, &text, &problem);
    if (problem.empty()) {
        killTimer(d_trust_recheck_timer);
        handleFileChanged(d_settings_watch.get(), 1, path);
    }
}
