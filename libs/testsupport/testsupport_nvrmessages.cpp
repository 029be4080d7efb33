#include "testsupport_nvrmessages.h"

#include <cstdio>

namespace testutil {

Message statusRequest() {
    Message m;
    m.action = e_ACTION_STATUS;
    return m;
}

Message namespaceRequest(const std::string& path) {
    Message m;
    m.action = e_ACTION_NAMESPACE;
    m.class_name = path;
    return m;
}

Message subscribeRequest(const std::string& className, std::vector<Parameter> wanted) {
    Message m;
    m.action = e_ACTION_SUBSCRIBE;
    m.class_name = className;
    m.params_out = std::move(wanted);
    return m;
}

Message lookupRequest(const std::string& className, std::vector<Parameter> conditions,
                      std::vector<Parameter> wanted) {
    Message m;
    m.action = e_ACTION_LOOKUP;
    m.class_name = className;
    m.params_in = std::move(conditions);
    m.params_out = std::move(wanted);
    return m;
}

Message executeRequest(const std::string& className, const std::string& method,
                       std::vector<Parameter> arguments, std::vector<Parameter> wanted,
                       const std::string& target) {
    Message m;
    m.action = e_ACTION_EXECUTE;
    m.class_name = className;
    m.method_name = method;
    m.target_instance = target;
    m.params_in = std::move(arguments);
    m.params_out = std::move(wanted);
    return m;
}

std::string frameOf(const std::string& payload) {
    char header[32];
    std::snprintf(header, sizeof header, "\x02%05zu\x03", payload.size());
    return header + payload;
}

const Parameter* outParam(const Message& message, const std::string& name) {
    for (const Parameter& p : message.params_out) {
        if (p.name == name) {
            return &p;
        }
    }
    return nullptr;
}

std::string valueOf(const Message& message, const std::string& name) {
    const Parameter* p = outParam(message, name);
    return p ? p->value : "";
}

}  // namespace testutil

void PrintTo(const Parameter& p, std::ostream* out) {
    *out << "{" << p.name << "=\"" << p.value << "\" " << p.type << "}";
}

void PrintTo(const Message& m, std::ostream* out) {
    *out << "action " << m.action << " class '" << m.class_name << "' target '" << m.target_instance
         << "' method '" << m.method_name << "' in:";
    for (const Parameter& p : m.params_in) {
        PrintTo(p, out);
    }
    *out << " out:";
    for (const Parameter& p : m.params_out) {
        PrintTo(p, out);
    }
}
