// wmi_objectpath.cpp
#include "wmi_objectpath.h"

#include <algorithm>
#include <cctype>

namespace wmi::standin {

std::string relativePath(const Instance& instance) {
    return relativePath(*instance.d_class, instance.d_values);
}

std::string relativePath(const ClassDecl& cls, const std::vector<Value>& values) {
    std::vector<size_t> keys;
    for (size_t i = 0; i < cls.d_properties.size(); ++i) {
        if (cls.d_properties[i].d_key) {
            keys.push_back(i);
        }
    }
    if (keys.empty()) {
        return std::string();
    }
    std::sort(keys.begin(), keys.end(), [&](size_t a, size_t b) {
        std::string la(cls.d_properties[a].d_name), lb(cls.d_properties[b].d_name);
        std::transform(la.begin(), la.end(), la.begin(), lowerAscii);
        std::transform(lb.begin(), lb.end(), lb.begin(), lowerAscii);
        return la < lb;
    });
    std::string out = cls.d_name;
    out += '.';
    for (size_t k = 0; k < keys.size(); ++k) {
        const PropertyDecl& p = cls.d_properties[keys[k]];
        if (k > 0) {
            out += ',';
        }
        out += p.d_name;
        out += '=';
        const Value& v = values[keys[k]];
        const std::string text = v.d_null ? std::string() : scalarText(v.d_items.front());
        if (isTextBase(p.d_type.d_base) || v.d_null) {
            out += '"';
            for (char c : text) {
                if (c == '"' || c == '\\') {
                    out += '\\';
                }
                out += c;
            }
            out += '"';
        } else {
            out += text;
        }
    }
    return out;
}

// ---------------------------------------------------------------- object paths
bool parseObjectPath(std::string_view text, ObjectPath* out) {
    *out = ObjectPath();
    std::string_view t = text;
    if (t.rfind("\\\\", 0) == 0 || t.rfind("//", 0) == 0) {
        const size_t colon = t.find(':');
        const size_t quote = t.find('"');
        if (colon == std::string_view::npos || (quote != std::string_view::npos && quote < colon)) {
            return false;
        }
        t.remove_prefix(colon + 1);
    }
    size_t i = 0;
    while (i < t.size() && (std::isalnum(static_cast<unsigned char>(t[i])) || t[i] == '_')) {
        ++i;
    }
    if (i == 0) {
        return false;
    }
    out->d_class = std::string(t.substr(0, i));
    if (i == t.size()) {
        return true;
    }
    if (t[i] != '.') {
        return false;
    }
    out->d_instance = true;
    ++i;
    for (;;) {
        const size_t start = i;
        while (i < t.size() && (std::isalnum(static_cast<unsigned char>(t[i])) || t[i] == '_')) {
            ++i;
        }
        if (i == start || i >= t.size() || t[i] != '=') {
            return false;
        }
        std::string name(t.substr(start, i - start));
        ++i;
        std::string literal;
        if (i < t.size() && (t[i] == '"' || t[i] == '\'')) {
            const char q = t[i++];
            bool closed = false;
            while (i < t.size()) {
                if (t[i] == '\\' && i + 1 < t.size()) {
                    literal += t[i + 1];
                    i += 2;
                } else if (t[i] == q) {
                    ++i;
                    closed = true;
                    break;
                } else {
                    literal += t[i++];
                }
            }
            if (!closed) {
                return false;
            }
        } else {
            const size_t vs = i;
            while (i < t.size() && t[i] != ',') {
                ++i;
            }
            literal = std::string(t.substr(vs, i - vs));
            if (literal.empty()) {
                return false;
            }
        }
        out->d_keys.emplace_back(std::move(name), std::move(literal));
        if (i == t.size()) {
            return true;
        }
        if (t[i] != ',') {
            return false;
        }
        ++i;
    }
}

std::shared_ptr<const Instance> findInstance(const Namespace& ns, const ClassDecl& cls,
                                             const ObjectPath& path) {
    for (const auto& inst : ns.d_instances) {
        const ClassDecl& ic = *inst->d_class;
        if (!ic.isA(cls.d_name)) {
            continue;
        }
        size_t keyCount = 0;
        for (const PropertyDecl& p : ic.d_properties) {
            keyCount += p.d_key ? 1 : 0;
        }
        if (keyCount != path.d_keys.size() || keyCount == 0) {
            continue;
        }
        bool all = true;
        for (const auto& [name, literal] : path.d_keys) {
            const int idx = ic.findProperty(name);
            Scalar want;
            if (idx < 0 || !ic.d_properties[idx].d_key || inst->d_values[idx].d_null ||
                !scalarFromText(ic.d_properties[idx].d_type.d_base, literal, &want) ||
                !scalarEquals(want, inst->d_values[idx].d_items.front())) {
                all = false;
                break;
            }
        }
        if (all) {
            return inst;
        }
    }
    return nullptr;
}

}  // namespace wmi::standin
