// The NVR's allow-lists, their comparison rules, and the Client's reading of
// the settings file under the trust rule.

#include "client_security.h"

#include <cctype>

#include "client.h"
#include "core_v2masterlogger.h"
#include "cutl_settingstrust.h"
#include "utl_inireader.h"

namespace {

std::string lower(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
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

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

SecurityPolicy::List SecurityPolicy::parseList(const utl::IniReader& ini, const char* key) {
    std::string value;
    if (!ini.getString("Security", key, &value)) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    if (lower(trimmed(value)) == "none") {
        return names;
    }
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) {
            comma = value.size();
        }
        std::string name = trimmed(value.substr(start, comma - start));
        if (!name.empty()) {
            names.push_back(std::move(name));
        }
        start = comma + 1;
    }
    return names;
}

SecurityPolicy SecurityPolicy::fromIni(const utl::IniReader& ini) {
    SecurityPolicy policy;
    policy.d_namespaces = parseList(ini, "Namespaces");
    policy.d_methods = parseList(ini, "Methods");
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

bool SecurityPolicy::allowsMethod(const std::string& className, const std::string& method,
                                  const std::string& targetInstance) const {
    if (!d_methods) {
        return true;
    }
    if (!contains(d_methods, lower(className + "." + method), lower)) {
        return false;
    }
    if (targetInstance.empty()) {
        return true;
    }
    // The method runs on the class of the instance, which may differ from
    // the class named in the request, and the path may name another
    // namespace: both must be allowed too.
    const size_t quote = targetInstance.find('"');
    const size_t colon = targetInstance.rfind(':', quote);
    size_t classStart = 0;
    if (colon != std::string::npos) {
        if (!allowsNamespace(targetInstance.substr(0, colon))) {
            return false;
        }
        classStart = colon + 1;
    }
    const size_t classEnd = targetInstance.find_first_of(".=", classStart);
    const std::string targetClass = targetInstance.substr(
        classStart, classEnd == std::string::npos ? std::string::npos : classEnd - classStart);
    return contains(d_methods, lower(targetClass + "." + method), lower);
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

// ---------------------------------------------------------------------------
// The settings file, read under the trust rule

void Client::readSettings() {
    const char* tag = "Client::readSettings";
    const std::string path = settingsPath();
    const std::string problem = cutl::settingsTrustProblem(path);
    SecurityPolicy policy = d_policy;
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
        if (ini.loadFromFile(path)) {
            if (ini.hasSection("NVR")) {
                ini.getString("NVR", "Address", &d_nvr_address);
                ini.getInt("NVR", "Port", &d_nvr_port);
            } else {
                // Otherwise an edit that lost the header goes unnoticed.
                LOG_CRIT(tag, "Settings file '%s' has no section [NVR], keeping NVR %s:%d", path,
                         d_nvr_address, d_nvr_port);
            }
            policy = SecurityPolicy::fromIni(ini);
        }
    }
    if (!d_policy_logged || policy != d_policy) {
        LOG_INFO(tag, "%s", policy.describe());
        d_policy = policy;
        d_policy_logged = true;
    }
}

void Client::recheckSettingsTrust() {
    const std::string path = settingsPath();
    if (cutl::settingsTrustProblem(path).empty()) {
        killTimer(d_trust_recheck_timer);
        handleFileChanged(d_settings_watch.get(), 1, path);
    }
}
