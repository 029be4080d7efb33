// wmi_mof.cpp
#include "wmi_mof.h"
#include "wmi_objectpath.h"

#include <cctype>
#include <cstdlib>
#include <set>

namespace wmi::standin {

std::string MofError::text() const {
    if (d_line == 0) {
        return d_message;  // not about a place in the text (an unreadable file)
    }
    return "line " + std::to_string(d_line) + ", column " + std::to_string(d_column) + ": " +
           d_message;
}

namespace {

struct Token {
    enum Kind { e_END, e_IDENT, e_STRING, e_NUMBER, e_SYMBOL };
    Kind d_kind = e_END;
    std::string d_text;  // decoded for strings
    int d_line = 0;
    int d_column = 0;
};

// Splits the text into tokens; false with 'error' on a lexical error.
class Lexer {
  public:
    explicit Lexer(std::string_view t) : d_t(t) {}

    bool run(std::vector<Token>* out, MofError* error) {
        for (;;) {
            if (!skipBlank(error)) {
                return false;
            }
            Token tok;
            tok.d_line = d_line;
            tok.d_column = column();
            if (d_pos >= d_t.size()) {
                out->push_back(tok);
                return true;
            }
            const char c = d_t[d_pos];
            const char next = d_pos + 1 < d_t.size() ? d_t[d_pos + 1] : 0;
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '$') {
                tok.d_kind = Token::e_IDENT;
                while (d_pos < d_t.size() &&
                       (std::isalnum(static_cast<unsigned char>(d_t[d_pos])) || d_t[d_pos] == '_' ||
                        d_t[d_pos] == '$')) {
                    tok.d_text += d_t[d_pos++];
                }
            } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                       ((c == '-' || c == '+' || c == '.') &&
                        std::isdigit(static_cast<unsigned char>(next)))) {
                tok.d_kind = Token::e_NUMBER;
                tok.d_text += d_t[d_pos++];
                while (d_pos < d_t.size()) {
                    const char d = d_t[d_pos];
                    const bool exponentSign =
                        (d == '-' || d == '+') &&
                        (tok.d_text.back() == 'e' || tok.d_text.back() == 'E') &&
                        tok.d_text.find_first_of("xX") == std::string::npos;
                    if (!std::isalnum(static_cast<unsigned char>(d)) && d != '.' && !exponentSign) {
                        break;
                    }
                    tok.d_text += d;
                    ++d_pos;
                }
            } else if (c == '"' || c == '\'') {
                tok.d_kind = Token::e_STRING;
                if (!readString(c, &tok.d_text, error)) {
                    return false;
                }
            } else if (std::string_view("{}[]();,:=#").find(c) != std::string_view::npos) {
                tok.d_kind = Token::e_SYMBOL;
                tok.d_text = std::string(1, c);
                ++d_pos;
            } else {
                *error =
                    MofError{d_line, column(), std::string("unexpected character '") + c + "'"};
                return false;
            }
            out->push_back(std::move(tok));
        }
    }

  private:
    int column() const { return static_cast<int>(d_pos - d_line_start) + 1; }

    void advanceLine() {
        ++d_line;
        d_line_start = d_pos + 1;
    }

    bool skipBlank(MofError* error) {
        while (d_pos < d_t.size()) {
            const char c = d_t[d_pos];
            if (c == '\n') {
                advanceLine();
                ++d_pos;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                ++d_pos;
            } else if (c == '/' && d_pos + 1 < d_t.size() && d_t[d_pos + 1] == '/') {
                while (d_pos < d_t.size() && d_t[d_pos] != '\n') {
                    ++d_pos;
                }
            } else if (c == '/' && d_pos + 1 < d_t.size() && d_t[d_pos + 1] == '*') {
                const int line = d_line;
                const int col = column();
                d_pos += 2;
                for (;;) {
                    if (d_pos + 1 >= d_t.size()) {
                        *error = MofError{line, col, "unterminated comment"};
                        return false;
                    }
                    if (d_t[d_pos] == '*' && d_t[d_pos + 1] == '/') {
                        d_pos += 2;
                        break;
                    }
                    if (d_t[d_pos] == '\n') {
                        advanceLine();
                    }
                    ++d_pos;
                }
            } else {
                break;
            }
        }
        return true;
    }

    static void appendUtf8(std::string& out, uint32_t cp) {
        const std::basic_string<OLECHAR> w(1, static_cast<OLECHAR>(cp));
        out += fromOleString(w.data(), w.size());
    }

    bool readString(char quote, std::string* out, MofError* error) {
        const int line = d_line;
        const int col = column();
        ++d_pos;
        while (d_pos < d_t.size()) {
            const char c = d_t[d_pos];
            if (c == quote) {
                ++d_pos;
                return true;
            }
            if (c == '\n') {
                break;
            }
            if (c != '\\') {
                *out += c;
                ++d_pos;
                continue;
            }
            if (d_pos + 1 >= d_t.size()) {
                break;
            }
            const char e = d_t[d_pos + 1];
            const int escCol = column();
            d_pos += 2;
            switch (e) {
                case '\\':
                case '"':
                case '\'':
                    *out += e;
                    break;
                case 'n':
                    *out += '\n';
                    break;
                case 't':
                    *out += '\t';
                    break;
                case 'r':
                    *out += '\r';
                    break;
                case 'b':
                    *out += '\b';
                    break;
                case 'f':
                    *out += '\f';
                    break;
                case 'x':
                case 'X': {
                    uint32_t cp = 0;
                    int digits = 0;
                    while (digits < 4 && d_pos < d_t.size() &&
                           std::isxdigit(static_cast<unsigned char>(d_t[d_pos]))) {
                        const char h = d_t[d_pos++];
                        cp = cp * 16 +
                             static_cast<uint32_t>(
                                 std::isdigit(static_cast<unsigned char>(h))
                                     ? h - '0'
                                     : std::tolower(static_cast<unsigned char>(h)) - 'a' + 10);
                        ++digits;
                    }
                    if (digits == 0) {
                        *error = MofError{d_line, escCol, "\\x needs hexadecimal digits"};
                        return false;
                    }
                    appendUtf8(*out, cp);
                    break;
                }
                default:
                    *error = MofError{d_line, escCol, std::string("unknown escape \\") + e};
                    return false;
            }
        }
        *error = MofError{line, col, "unterminated string"};
        return false;
    }

    std::string_view d_t;
    size_t d_pos = 0;
    int d_line = 1;
    size_t d_line_start = 0;
};

struct Qualifier {
    std::string d_name;
    bool d_has_value = false;
    Token d_value;  // a single literal (arrays of qualifier values are skipped)
    Token d_at;
};

// A literal as written, before it is given a type.
struct Literal {
    enum Kind { e_NULL, e_BOOL, e_NUMBER, e_STRING, e_LIST };
    Kind d_kind = e_NULL;
    Token d_at;
    std::string d_text;
    bool d_bool = false;
    std::vector<Literal> d_items;
};

class Parser {
  public:
    Parser(const std::vector<Token>& tokens, const Repository* base, MofError* error)
        : d_tok(tokens), d_base(base), d_error(error) {}

    bool parseRepository(Repository* out) {
        d_ns = k_DEFAULT_NAMESPACE;
        while (!at(Token::e_END)) {
            if (!topLevel()) {
                return false;
            }
        }
        *out = std::move(d_repo);
        return true;
    }

    bool parseEvents(std::vector<EventBatch>* out) {
        d_ns = d_base->d_namespaces.empty() ? std::string(k_DEFAULT_NAMESPACE)
                                            : d_base->d_namespaces.front().d_name;
        while (!at(Token::e_END)) {
            if (!topLevel()) {
                return false;
            }
        }
        *out = std::move(d_batches);
        return true;
    }

  private:
    // ------------------------------------------------------------ tokens
    const Token& cur() const { return d_tok[d_pos]; }
    bool at(Token::Kind k) const { return cur().d_kind == k; }
    bool atSymbol(char c) const { return at(Token::e_SYMBOL) && cur().d_text[0] == c; }
    bool atWord(std::string_view w) const {
        return at(Token::e_IDENT) && equalsNoCase(cur().d_text, w);
    }
    void next() {
        if (!at(Token::e_END)) {
            ++d_pos;
        }
    }
    bool fail(const Token& at, std::string message) {
        *d_error = MofError{at.d_line, at.d_column, std::move(message)};
        return false;
    }
    std::string describe(const Token& t) const {
        switch (t.d_kind) {
            case Token::e_END:
                return "end of file";
            case Token::e_STRING:
                return "a string";
            default:
                return "'" + t.d_text + "'";
        }
    }
    bool expectSymbol(char c) {
        if (!atSymbol(c)) {
            return fail(cur(), std::string("expected '") + c + "', found " + describe(cur()));
        }
        next();
        return true;
    }
    bool expectIdent(std::string* out, const char* what) {
        if (!at(Token::e_IDENT)) {
            return fail(cur(), std::string("expected ") + what + ", found " + describe(cur()));
        }
        *out = cur().d_text;
        next();
        return true;
    }

    // ------------------------------------------------------------ namespaces
    Namespace* workingNamespace(bool create) {
        for (Namespace& ns : d_repo.d_namespaces) {
            if (equalsNoCase(ns.d_name, d_ns)) {
                return &ns;
            }
        }
        if (!create) {
            return nullptr;
        }
        Namespace ns;
        ns.d_name = d_ns;
        auto event = std::make_shared<ClassDecl>();
        event->d_name = "__Event";
        event->d_namespace = d_ns;
        event->d_properties.push_back(
            PropertyDecl{"SECURITY_DESCRIPTOR", CimType{CimBase::e_UINT8, true}, false, Value()});
        event->d_properties.push_back(
            PropertyDecl{"TIME_CREATED", CimType{CimBase::e_UINT64, false}, false, Value()});
        auto extrinsic = std::make_shared<ClassDecl>(*event);
        extrinsic->d_name = "__ExtrinsicEvent";
        extrinsic->d_derivation = {"__Event"};
        ns.d_classes.push_back(event);
        ns.d_classes.push_back(extrinsic);
        d_repo.d_namespaces.push_back(std::move(ns));
        return &d_repo.d_namespaces.back();
    }

    std::shared_ptr<const ClassDecl> lookupClass(std::string_view name) {
        if (d_base != nullptr) {
            const Namespace* ns = d_base->findNamespace(d_ns);
            return ns ? ns->findClass(name) : nullptr;
        }
        Namespace* ns = workingNamespace(true);
        return ns->findClass(name);
    }

    // ------------------------------------------------------------ top level
    bool topLevel() {
        if (atSymbol('#')) {
            return pragma();
        }
        std::vector<Qualifier> quals;
        if (atSymbol('[') && !qualifiers(&quals)) {
            return false;
        }
        if (atWord("class")) {
            if (d_base != nullptr) {
                return fail(cur(), "class declarations are not allowed in an event file");
            }
            return classDecl(quals);
        }
        if (atWord("instance")) {
            return instanceDecl();
        }
        return fail(cur(),
                    "expected 'class', 'instance of' or '#pragma', found " + describe(cur()));
    }

    bool pragma() {
        const Token hash = cur();
        next();
        std::string word;
        std::string name;
        if (!atWord("pragma")) {
            return fail(cur(), "expected 'pragma' after '#'");
        }
        next();
        if (!expectIdent(&name, "a pragma name")) {
            return false;
        }
        if (!atSymbol('(') && !equalsNoCase(name, "namespace")) {
            return true;  // a pragma without argument (autorecover)
        }
        if (!expectSymbol('(')) {
            return false;
        }
        const Token arg = cur();
        if (!at(Token::e_STRING)) {
            return fail(cur(), "expected a string argument of the pragma");
        }
        next();
        if (!expectSymbol(')')) {
            return false;
        }
        if (!equalsNoCase(name, "namespace")) {
            return true;  // other pragmas change nothing here
        }
        const std::optional<std::string> local = localNamespacePath(arg.d_text);
        if (!local) {
            return fail(arg, "invalid namespace path '" + arg.d_text + "'");
        }
        d_ns = *local;
        if (d_base != nullptr) {
            const Namespace* ns = d_base->findNamespace(d_ns);
            if (ns == nullptr) {
                return fail(arg, "unknown namespace '" + arg.d_text + "'");
            }
            d_ns = ns->d_name;
        } else {
            workingNamespace(true);
        }
        (void)hash;
        return true;
    }

    bool qualifiers(std::vector<Qualifier>* out) {
        next();  // '['
        for (;;) {
            Qualifier q;
            q.d_at = cur();
            if (!expectIdent(&q.d_name, "a qualifier name")) {
                return false;
            }
            if (atSymbol('(')) {
                next();
                if (!at(Token::e_STRING) && !at(Token::e_NUMBER) && !at(Token::e_IDENT)) {
                    return fail(cur(), "expected a qualifier value, found " + describe(cur()));
                }
                q.d_has_value = true;
                q.d_value = cur();
                next();
                if (!expectSymbol(')')) {
                    return false;
                }
            } else if (atSymbol('{')) {
                Literal ignored;
                if (!literal(&ignored)) {
                    return false;
                }
            }
            if (atSymbol(':')) {  // flavors
                next();
                while (at(Token::e_IDENT)) {
                    next();
                }
            }
            out->push_back(std::move(q));
            if (atSymbol(',')) {
                next();
                continue;
            }
            return expectSymbol(']');
        }
    }

    static const Qualifier* findQualifier(const std::vector<Qualifier>& quals,
                                          std::string_view name) {
        for (const Qualifier& q : quals) {
            if (equalsNoCase(q.d_name, name)) {
                return &q;
            }
        }
        return nullptr;
    }

    // A true-valued flag qualifier: [key] or [key(true)].
    static bool flag(const std::vector<Qualifier>& quals, std::string_view name) {
        const Qualifier* q = findQualifier(quals, name);
        return q != nullptr && (!q->d_has_value || !equalsNoCase(q->d_value.d_text, "false"));
    }

    // An HRESULT or count given to a fault qualifier.
    bool numericQualifier(const std::vector<Qualifier>& quals, std::string_view name,
                          std::optional<int64_t>* out) {
        const Qualifier* q = findQualifier(quals, name);
        if (q == nullptr) {
            return true;
        }
        Scalar s;
        if (!q->d_has_value || q->d_value.d_kind == Token::e_IDENT ||
            !scalarFromText(CimBase::e_SINT64, q->d_value.d_text, &s)) {
            return fail(q->d_at, "qualifier " + q->d_name + " needs a number");
        }
        const int64_t v = std::get<int64_t>(s);
        if (v < INT32_MIN || v > UINT32_MAX) {
            return fail(q->d_value, "qualifier " + q->d_name + " value out of range");
        }
        *out = v;
        return true;
    }

    bool codeQualifier(const std::vector<Qualifier>& quals, std::string_view name,
                       std::optional<HRESULT>* out) {
        std::optional<int64_t> v;
        if (!numericQualifier(quals, name, &v)) {
            return false;
        }
        if (v) {
            *out = static_cast<HRESULT>(static_cast<uint32_t>(*v));
        }
        return true;
    }

    // ------------------------------------------------------------ types
    bool typeName(CimType* out, bool* isVoid) {
        const Token t = cur();
        if (isVoid != nullptr && atWord("void")) {
            *isVoid = true;
            next();
            return true;
        }
        if (!at(Token::e_IDENT) || !cimBaseFromName(t.d_text, &out->d_base)) {
            if (at(Token::e_IDENT) && d_pos + 1 < d_tok.size() &&
                equalsNoCase(d_tok[d_pos + 1].d_text, "ref")) {
                return fail(t, "reference types are not supported");
            }
            if (equalsNoCase(t.d_text, "object")) {
                return fail(t, "embedded objects are not supported");
            }
            return fail(t, "expected a type, found " + describe(t));
        }
        next();
        return true;
    }

    bool arraySuffix(CimType* type) {
        if (!atSymbol('[')) {
            return true;
        }
        next();
        if (at(Token::e_NUMBER)) {
            next();  // a fixed size is accepted and not enforced
        }
        type->d_array = true;
        return expectSymbol(']');
    }

    // ------------------------------------------------------------ classes
    bool classDecl(const std::vector<Qualifier>& quals) {
        next();  // 'class'
        auto cls = std::make_shared<ClassDecl>();
        const Token nameTok = cur();
        if (!expectIdent(&cls->d_name, "a class name")) {
            return false;
        }
        Namespace* ns = workingNamespace(true);
        if (ns->findClass(cls->d_name)) {
            return fail(nameTok, "class " + cls->d_name + " is already defined");
        }
        cls->d_namespace = ns->d_name;
        if (atSymbol(':')) {
            next();
            const Token superTok = cur();
            std::string super;
            if (!expectIdent(&super, "a superclass name")) {
                return false;
            }
            std::shared_ptr<const ClassDecl> base = ns->findClass(super);
            if (!base) {
                return fail(superTok, "unknown superclass " + super);
            }
            cls->d_derivation.push_back(base->d_name);
            cls->d_derivation.insert(cls->d_derivation.end(), base->d_derivation.begin(),
                                     base->d_derivation.end());
            cls->d_properties = base->d_properties;
            cls->d_methods = base->d_methods;
            cls->d_subscribe_error = base->d_subscribe_error;
            cls->d_query_error = base->d_query_error;
            cls->d_latency_ms = base->d_latency_ms;
        }
        std::optional<int64_t> latency;
        if (!codeQualifier(quals, "SubscribeError", &cls->d_subscribe_error) ||
            !codeQualifier(quals, "QueryError", &cls->d_query_error) ||
            !numericQualifier(quals, "LatencyMs", &latency)) {
            return false;
        }
        if (latency) {
            if (*latency < 0 || *latency > 600000) {
                return fail(findQualifier(quals, "LatencyMs")->d_at, "LatencyMs out of range");
            }
            cls->d_latency_ms = static_cast<int>(*latency);
        }
        if (!expectSymbol('{')) {
            return false;
        }
        while (!atSymbol('}')) {
            if (at(Token::e_END)) {
                return fail(cur(), "missing '}' at the end of class " + cls->d_name);
            }
            if (!member(cls.get())) {
                return false;
            }
        }
        next();
        if (!expectSymbol(';')) {
            return false;
        }
        ns->d_classes.push_back(std::move(cls));
        return true;
    }

    bool member(ClassDecl* cls) {
        std::vector<Qualifier> quals;
        if (atSymbol('[') && !qualifiers(&quals)) {
            return false;
        }
        CimType type;
        bool isVoid = false;
        if (!typeName(&type, &isVoid)) {
            return false;
        }
        const Token nameTok = cur();
        std::string name;
        if (!expectIdent(&name, "a member name")) {
            return false;
        }
        if (atSymbol('(')) {
            return method(cls, quals, type, !isVoid, name, nameTok);
        }
        if (isVoid) {
            return fail(nameTok, "a property cannot be void");
        }
        if (!arraySuffix(&type)) {
            return false;
        }
        PropertyDecl p{name, type, flag(quals, "key"), Value()};
        if (atSymbol('=')) {
            next();
            Literal lit;
            if (!literal(&lit) || !convert(lit, type, &p.d_default)) {
                return false;
            }
        }
        if (!expectSymbol(';')) {
            return false;
        }
        const int existing = cls->findProperty(name);
        if (existing >= 0) {
            // A derived class may restate an inherited property; a class may
            // not declare one twice.
            if (d_declared.count(lowerName(cls->d_name + "." + name))) {
                return fail(nameTok, "property " + name + " is declared twice");
            }
            cls->d_properties[existing] = p;
        } else {
            cls->d_properties.push_back(p);
        }
        d_declared.insert(lowerName(cls->d_name + "." + name));
        return true;
    }

    static std::string lowerName(std::string s) {
        for (char& c : s) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return s;
    }

    bool method(ClassDecl* cls, const std::vector<Qualifier>& quals, CimType returnType,
                bool hasReturn, const std::string& name, const Token& nameTok) {
        next();  // '('
        MethodDecl m;
        m.d_name = name;
        m.d_has_return = hasReturn;
        m.d_return_type = returnType;
        m.d_static = flag(quals, "static");
        std::optional<int64_t> latency;
        if (!codeQualifier(quals, "ExecError", &m.d_exec_error) ||
            !numericQualifier(quals, "LatencyMs", &latency)) {
            return false;
        }
        if (latency) {
            if (*latency < 0 || *latency > 600000) {
                return fail(findQualifier(quals, "LatencyMs")->d_at, "LatencyMs out of range");
            }
            m.d_latency_ms = static_cast<int>(*latency);
        }
        if (!atSymbol(')')) {
            for (;;) {
                std::vector<Qualifier> pq;
                if (atSymbol('[') && !qualifiers(&pq)) {
                    return false;
                }
                ParamDecl p;
                const Token pt = cur();
                if (!typeName(&p.d_type, nullptr) || !expectIdent(&p.d_name, "a parameter name") ||
                    !arraySuffix(&p.d_type)) {
                    return false;
                }
                p.d_in = flag(pq, "in");
                p.d_out = flag(pq, "out");
                if (!p.d_in && !p.d_out) {
                    p.d_in = true;
                }
                for (const ParamDecl& other : m.d_params) {
                    if (equalsNoCase(other.d_name, p.d_name)) {
                        return fail(pt, "parameter " + p.d_name + " is declared twice");
                    }
                }
                if (equalsNoCase(p.d_name, "ReturnValue")) {
                    return fail(pt, "ReturnValue is not a parameter name");
                }
                m.d_params.push_back(std::move(p));
                if (atSymbol(',')) {
                    next();
                    continue;
                }
                break;
            }
        }
        if (!expectSymbol(')') || !expectSymbol(';')) {
            return false;
        }
        for (MethodDecl& existing : cls->d_methods) {
            if (equalsNoCase(existing.d_name, name)) {
                if (d_declared.count(lowerName(cls->d_name + "." + name + "()"))) {
                    return fail(nameTok, "method " + name + " is declared twice");
                }
                existing = m;
                d_declared.insert(lowerName(cls->d_name + "." + name + "()"));
                return true;
            }
        }
        cls->d_methods.push_back(std::move(m));
        d_declared.insert(lowerName(cls->d_name + "." + name + "()"));
        return true;
    }

    // ------------------------------------------------------------ instances
    bool instanceDecl() {
        next();  // 'instance'
        if (!atWord("of")) {
            return fail(cur(), "expected 'of' after 'instance'");
        }
        next();
        const Token classTok = cur();
        std::string className;
        if (!expectIdent(&className, "a class name")) {
            return false;
        }
        std::shared_ptr<const ClassDecl> cls = lookupClass(className);
        if (!cls) {
            return fail(classTok, "unknown class " + className + " in namespace " + d_ns);
        }
        if (atWord("as")) {
            next();
            std::string alias;
            if (!expectIdent(&alias, "an alias")) {
                return false;
            }
        }
        auto inst = std::make_shared<Instance>();
        inst->d_class = cls;
        for (const PropertyDecl& p : cls->d_properties) {
            inst->d_values.push_back(p.d_default);
        }
        std::vector<bool> assigned(cls->d_properties.size(), false);
        if (!expectSymbol('{')) {
            return false;
        }
        while (!atSymbol('}')) {
            if (at(Token::e_END)) {
                return fail(cur(), "missing '}' at the end of the instance");
            }
            std::vector<Qualifier> ignored;
            if (atSymbol('[') && !qualifiers(&ignored)) {
                return false;
            }
            const Token propTok = cur();
            std::string prop;
            if (!expectIdent(&prop, "a property name")) {
                return false;
            }
            const int idx = cls->findProperty(prop);
            if (idx < 0) {
                return fail(propTok, "class " + cls->d_name + " has no property " + prop);
            }
            if (assigned[idx]) {
                return fail(propTok, "property " + prop + " is assigned twice");
            }
            assigned[idx] = true;
            Literal lit;
            if (!expectSymbol('=') || !literal(&lit) ||
                !convert(lit, cls->d_properties[idx].d_type, &inst->d_values[idx]) ||
                !expectSymbol(';')) {
                return false;
            }
        }
        next();
        if (!expectSymbol(';')) {
            return false;
        }
        if (d_base != nullptr) {
            addToBatch(std::move(inst));
            return true;
        }
        for (size_t i = 0; i < cls->d_properties.size(); ++i) {
            if (cls->d_properties[i].d_key && inst->d_values[i].d_null) {
                return fail(classTok, "key property " + cls->d_properties[i].d_name + " of " +
                                          cls->d_name + " has no value");
            }
        }
        Namespace* ns = workingNamespace(true);
        const std::string path = relativePath(*inst);
        if (!path.empty()) {
            ObjectPath parsed;
            parseObjectPath(path, &parsed);
            if (findInstance(*ns, *cls, parsed)) {
                return fail(classTok, "instance " + path + " is already defined");
            }
        }
        ns->d_instances.push_back(std::move(inst));
        return true;
    }

    void addToBatch(std::shared_ptr<const Instance> inst) {
        for (EventBatch& b : d_batches) {
            if (equalsNoCase(b.d_namespace, d_ns)) {
                b.d_instances.push_back(std::move(inst));
                return;
            }
        }
        d_batches.push_back(EventBatch{d_ns, {std::move(inst)}});
    }

    // ------------------------------------------------------------ values
    bool literal(Literal* out) {
        out->d_at = cur();
        if (atSymbol('{')) {
            next();
            out->d_kind = Literal::e_LIST;
            if (atSymbol('}')) {
                next();
                return true;
            }
            for (;;) {
                Literal item;
                if (!literal(&item)) {
                    return false;
                }
                if (item.d_kind == Literal::e_LIST) {
                    return fail(item.d_at, "arrays cannot be nested");
                }
                out->d_items.push_back(std::move(item));
                if (atSymbol(',')) {
                    next();
                    continue;
                }
                return expectSymbol('}');
            }
        }
        if (at(Token::e_STRING)) {
            out->d_kind = Literal::e_STRING;
            while (at(Token::e_STRING)) {  // adjacent strings are one
                out->d_text += cur().d_text;
                next();
            }
            return true;
        }
        if (at(Token::e_NUMBER)) {
            out->d_kind = Literal::e_NUMBER;
            out->d_text = cur().d_text;
            next();
            return true;
        }
        if (atWord("true") || atWord("false")) {
            out->d_kind = Literal::e_BOOL;
            out->d_bool = atWord("true");
            next();
            return true;
        }
        if (atWord("null")) {
            out->d_kind = Literal::e_NULL;
            next();
            return true;
        }
        return fail(cur(), "expected a value, found " + describe(cur()));
    }

    bool convertScalar(const Literal& lit, CimBase base, Scalar* out) {
        const char* typeName = cimBaseName(base);
        switch (base) {
            case CimBase::e_STRING:
            case CimBase::e_DATETIME:
                if (lit.d_kind != Literal::e_STRING) {
                    return fail(lit.d_at, std::string("expected a string for ") + typeName);
                }
                *out = lit.d_text;
                return true;
            case CimBase::e_BOOLEAN:
                if (lit.d_kind != Literal::e_BOOL) {
                    return fail(lit.d_at, "expected true or false for boolean");
                }
                *out = lit.d_bool;
                return true;
            case CimBase::e_REAL32:
            case CimBase::e_REAL64:
                if (lit.d_kind != Literal::e_NUMBER || !scalarFromText(base, lit.d_text, out)) {
                    return fail(lit.d_at, std::string("expected a number for ") + typeName);
                }
                return true;
            case CimBase::e_CHAR16:
                if (lit.d_kind == Literal::e_STRING) {
                    const std::basic_string<OLECHAR> w = toOleString(lit.d_text);
                    if (w.size() != 1) {
                        return fail(lit.d_at, "expected one character for char16");
                    }
                    *out = static_cast<uint64_t>(w[0]);
                    return true;
                }
                [[fallthrough]];
            default:
                if (lit.d_kind != Literal::e_NUMBER) {
                    return fail(lit.d_at, std::string("expected an integer for ") + typeName);
                }
                if (!scalarFromText(base, lit.d_text, out)) {
                    Scalar probe;
                    if (scalarFromText(CimBase::e_REAL64, lit.d_text, &probe) &&
                        lit.d_text.find_first_of(".eE") != std::string::npos &&
                        lit.d_text.find_first_of("xX") == std::string::npos) {
                        return fail(lit.d_at, std::string("expected an integer for ") + typeName);
                    }
                    return fail(lit.d_at, "value " + lit.d_text + " is not a valid " + typeName);
                }
                return true;
        }
    }

    bool convert(const Literal& lit, CimType type, Value* out) {
        if (lit.d_kind == Literal::e_NULL) {
            *out = Value::null();
            return true;
        }
        Value v;
        v.d_null = false;
        if (type.d_array) {
            if (lit.d_kind != Literal::e_LIST) {
                return fail(lit.d_at, "expected an array value in braces");
            }
            for (const Literal& item : lit.d_items) {
                Scalar s;
                if (!convertScalar(item, type.d_base, &s)) {
                    return false;
                }
                v.d_items.push_back(std::move(s));
            }
            v.packBytes(type.d_base);
        } else {
            if (lit.d_kind == Literal::e_LIST) {
                return fail(lit.d_at, "an array value for a property that is not an array");
            }
            Scalar s;
            if (!convertScalar(lit, type.d_base, &s)) {
                return false;
            }
            v.d_items.push_back(std::move(s));
        }
        *out = std::move(v);
        return true;
    }

    const std::vector<Token>& d_tok;
    size_t d_pos = 0;
    const Repository* d_base;  // set for event files
    MofError* d_error;
    Repository d_repo;
    std::string d_ns;
    std::set<std::string> d_declared;
    std::vector<EventBatch> d_batches;
};

}  // namespace

bool parseRepository(std::string_view text, Repository* out, MofError* error) {
    MofError local;
    MofError* err = error != nullptr ? error : &local;
    std::vector<Token> tokens;
    if (!Lexer(text).run(&tokens, err)) {
        return false;
    }
    return Parser(tokens, nullptr, err).parseRepository(out);
}

bool parseEvents(std::string_view text, const Repository& repository, std::vector<EventBatch>* out,
                 MofError* error) {
    MofError local;
    MofError* err = error != nullptr ? error : &local;
    std::vector<Token> tokens;
    if (!Lexer(text).run(&tokens, err)) {
        return false;
    }
    return Parser(tokens, &repository, err).parseEvents(out);
}

}  // namespace wmi::standin
