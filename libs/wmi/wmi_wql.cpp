// wmi_wql.cpp
#include "wmi_wql.h"

#include <cctype>

namespace wmi::standin {

namespace {

class WqlLexer {
  public:
    explicit WqlLexer(std::string_view t) : d_t(t) {}

    void skipSpace() {
        while (d_pos < d_t.size() && std::isspace(static_cast<unsigned char>(d_t[d_pos]))) {
            ++d_pos;
        }
    }
    bool atEnd() {
        skipSpace();
        return d_pos == d_t.size();
    }
    // A keyword or identifier.
    bool word(std::string* out) {
        skipSpace();
        const size_t s = d_pos;
        while (d_pos < d_t.size() &&
               (std::isalnum(static_cast<unsigned char>(d_t[d_pos])) || d_t[d_pos] == '_')) {
            ++d_pos;
        }
        if (d_pos == s) {
            return false;
        }
        *out = std::string(d_t.substr(s, d_pos - s));
        return true;
    }
    bool keyword(std::string_view k) {
        const size_t save = d_pos;
        std::string w;
        if (word(&w) && equalsNoCase(w, k)) {
            return true;
        }
        d_pos = save;
        return false;
    }
    bool symbol(char c) {
        skipSpace();
        if (d_pos < d_t.size() && d_t[d_pos] == c) {
            ++d_pos;
            return true;
        }
        return false;
    }
    // 'text', "text" (no escapes: a quote ends the literal) or a bare number.
    bool literal(std::string* out) {
        skipSpace();
        if (d_pos >= d_t.size()) {
            return false;
        }
        const char c = d_t[d_pos];
        if (c == '\'' || c == '"') {
            const size_t end = d_t.find(c, d_pos + 1);
            if (end == std::string_view::npos) {
                return false;
            }
            *out = std::string(d_t.substr(d_pos + 1, end - d_pos - 1));
            d_pos = end + 1;
            return true;
        }
        const size_t s = d_pos;
        if (c == '-' || c == '+') {
            ++d_pos;
        }
        if (d_pos >= d_t.size() || !std::isdigit(static_cast<unsigned char>(d_t[d_pos]))) {
            d_pos = s;
            return false;
        }
        while (d_pos < d_t.size() &&
               (std::isalnum(static_cast<unsigned char>(d_t[d_pos])) || d_t[d_pos] == '.')) {
            ++d_pos;
        }
        *out = std::string(d_t.substr(s, d_pos - s));
        return true;
    }

  private:
    std::string_view d_t;
    size_t d_pos = 0;
};

}  // namespace

bool parseWql(std::string_view text, WqlQuery* out) {
    *out = WqlQuery();
    WqlLexer lex(text);
    if (!lex.keyword("SELECT") || !lex.symbol('*') || !lex.keyword("FROM") ||
        !lex.word(&out->d_class)) {
        return false;
    }
    if (lex.atEnd()) {
        return true;
    }
    if (!lex.keyword("WHERE")) {
        return false;
    }
    for (;;) {
        WqlCondition c;
        if (!lex.word(&c.d_property) || !lex.symbol('=')) {
            return false;
        }
        if (!lex.literal(&c.d_literal)) {
            // TRUE and FALSE may stand bare.
            if (!lex.word(&c.d_literal) ||
                !(equalsNoCase(c.d_literal, "true") || equalsNoCase(c.d_literal, "false"))) {
                return false;
            }
        }
        out->d_conditions.push_back(std::move(c));
        if (lex.atEnd()) {
            return true;
        }
        if (!lex.keyword("AND")) {
            return false;
        }
    }
}

HRESULT bindWql(const WqlQuery& query, const Namespace& ns, BoundQuery* out) {
    *out = BoundQuery();
    out->d_class = ns.findClass(query.d_class);
    if (!out->d_class) {
        return WBEM_E_INVALID_CLASS;
    }
    for (const WqlCondition& c : query.d_conditions) {
        const int idx = out->d_class->findProperty(c.d_property);
        if (idx < 0 || out->d_class->d_properties[idx].d_type.d_array) {
            return WBEM_E_INVALID_QUERY;
        }
        Scalar s;
        if (!scalarFromText(out->d_class->d_properties[idx].d_type.d_base, c.d_literal, &s)) {
            return WBEM_E_INVALID_QUERY;
        }
        out->d_conditions.emplace_back(out->d_class->d_properties[idx].d_name, std::move(s));
    }
    return WBEM_S_NO_ERROR;
}

bool matches(const BoundQuery& query, const Instance& instance) {
    if (!instance.d_class->isA(query.d_class->d_name)) {
        return false;
    }
    for (const auto& [name, want] : query.d_conditions) {
        const int idx = instance.d_class->findProperty(name);
        if (idx < 0 || instance.d_values[idx].d_null ||
            !scalarEquals(instance.d_values[idx].d_items.front(), want)) {
            return false;
        }
    }
    return true;
}

}  // namespace wmi::standin
