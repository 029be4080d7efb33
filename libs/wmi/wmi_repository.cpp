// wmi_repository.cpp
#include "wmi_repository.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace wmi::standin {

// ---------------------------------------------------------------- schema
int ClassDecl::findProperty(std::string_view name) const {
    for (size_t i = 0; i < d_properties.size(); ++i) {
        if (equalsNoCase(d_properties[i].d_name, name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

const MethodDecl* ClassDecl::findMethod(std::string_view name) const {
    for (const MethodDecl& m : d_methods) {
        if (equalsNoCase(m.d_name, name)) {
            return &m;
        }
    }
    return nullptr;
}

bool ClassDecl::isA(std::string_view className) const {
    if (equalsNoCase(d_name, className)) {
        return true;
    }
    for (const std::string& base : d_derivation) {
        if (equalsNoCase(base, className)) {
            return true;
        }
    }
    return false;
}

bool ClassDecl::hasKeys() const {
    return std::any_of(d_properties.begin(), d_properties.end(),
                       [](const PropertyDecl& p) { return p.d_key; });
}

std::shared_ptr<const ClassDecl> makeSignature(const ClassDecl& owner, const MethodDecl& method,
                                               bool input) {
    auto sig = std::make_shared<ClassDecl>();
    sig->d_name = "__PARAMETERS";
    sig->d_namespace = owner.d_namespace;
    for (const ParamDecl& p : method.d_params) {
        if (input ? p.d_in : p.d_out) {
            sig->d_properties.push_back(PropertyDecl{p.d_name, p.d_type, false, Value::null()});
        }
    }
    if (!input && method.d_has_return) {
        sig->d_properties.push_back(
            PropertyDecl{"ReturnValue", method.d_return_type, false, Value::null()});
    }
    if (sig->d_properties.empty()) {
        return nullptr;
    }
    return sig;
}

// ---------------------------------------------------------------- repository
std::shared_ptr<const ClassDecl> Namespace::findClass(std::string_view name) const {
    for (const auto& c : d_classes) {
        if (equalsNoCase(c->d_name, name)) {
            return c;
        }
    }
    return nullptr;
}

const std::string& serverName() {
    static const std::string s_name = [] {
        char buf[256] = {};
        if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == 0) {
            return std::string("LOCALHOST");
        }
        std::string n(buf);
        std::transform(n.begin(), n.end(), n.begin(), [](char c) {
            return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        });
        return n;
    }();
    return s_name;
}

bool isLocalServer(std::string_view server) {
    return server == "." || equalsNoCase(server, "localhost") || equalsNoCase(server, serverName());
}

std::optional<std::string> localNamespacePath(std::string_view path) {
    std::string p(path);
    std::replace(p.begin(), p.end(), '/', '\\');
    if (p.rfind("\\\\", 0) == 0) {
        const size_t end = p.find('\\', 2);
        if (end == std::string::npos) {
            return std::nullopt;
        }
        if (!isLocalServer(p.substr(2, end - 2))) {
            return std::nullopt;
        }
        p.erase(0, end + 1);
    }
    if (p.empty() || p.front() == '\\' || p.back() == '\\' || p.find("\\\\") != std::string::npos) {
        return std::nullopt;
    }
    return p;
}

const Namespace* Repository::findNamespace(std::string_view path) const {
    const std::optional<std::string> local = localNamespacePath(path);
    if (!local) {
        return nullptr;
    }
    for (const Namespace& ns : d_namespaces) {
        if (equalsNoCase(ns.d_name, *local)) {
            return &ns;
        }
    }
    return nullptr;
}

Namespace* Repository::findNamespaceMutable(std::string_view path) {
    return const_cast<Namespace*>(findNamespace(path));
}

}  // namespace wmi::standin
