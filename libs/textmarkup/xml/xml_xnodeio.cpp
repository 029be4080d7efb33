#include "xml_xnodeio.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <mutex>
#include <vector>

#include "core_assert.h"
#include "core_v2masterlogger.h"

namespace NS_XML {

namespace {

constexpr std::string_view k_SOURCE = "xml_xnodeio";
constexpr std::string_view k_DECLARATION = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
constexpr size_t k_INITIAL_ROOM = 480;
constexpr size_t k_ELEMENT_MARGIN = 100;

// Fixed numbers in the log that operators grep for: never __LINE__, which moves.
namespace xnodeio_loc {
constexpr int k_BAD_ELEMENT_NAME = 148;
constexpr int k_BAD_ATTRIBUTE_NAME = 163;
constexpr int k_BAD_NODE_NAME = 78;
constexpr int k_NO_ROOT = 274;
}  // namespace xnodeio_loc

std::atomic<bool> s_xmlver_warned{false};

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isNameChar(char c) {
    return isLetter(c) || isDigit(c) || c == '-' || c == '.' || c == ':' || c == '_';
}
char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr std::array<bool, 256> makeEscapeTable() {
    std::array<bool, 256> t{};
    for (unsigned char c : {'\r', '"', '&', '\'', '<', '>'}) {
        t[c] = true;
    }
    return t;
}
constexpr std::array<bool, 256> k_NEEDS_ESCAPE = makeEscapeTable();

// Whether 'value' holds a character to escape.  Values are mostly plain, and
// some are long (photos as Base64 text): where the processor has SSE2 (every
// x86-64 does), sixteen bytes are tested at once.
bool needsEscape(std::string_view value) {
    const char* p = value.data();
    const char* const end = p + value.size();
#if defined(__SSE2__)
    // "&" and "'" differ only in bit 0, "<" and ">" only in bit 1.
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i apos = _mm_set1_epi8('\'');
    const __m128i greater = _mm_set1_epi8('>');
    const __m128i bit0 = _mm_set1_epi8(1);
    const __m128i bit1 = _mm_set1_epi8(2);
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hits =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, quote)),
                         _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(v, bit0), apos),
                                      _mm_cmpeq_epi8(_mm_or_si128(v, bit1), greater)));
        if (_mm_movemask_epi8(hits) != 0) {
            return true;
        }
    }
#endif
    for (; p < end; ++p) {
        if (k_NEEDS_ESCAPE[static_cast<unsigned char>(*p)]) {
            return true;
        }
    }
    return false;
}

// The length of the dump of 'node' without escapes, so that the buffer of a
// large message is allocated once.
size_t plainLength(const XNode& node) {
    const size_t name = std::max<size_t>(node.name().size(), 4);
    size_t length = 2 * name + 5 + node.text().size() + (node.isArray() ? 13 : 0);
    if (const XNode::Attributes* attributes = node.attributes()) {
        for (const auto& [key, value] : *attributes) {
            length += key.size() + value.size() + 4;
        }
    }
    for (const XNode& child : node) {
        length += plainLength(child);
    }
    return length;
}

void dumpElement(const XNode& node, std::string* out) {
    static const std::string k_ROOT = "root";
    const std::string& name = node.name().empty() ? k_ROOT : node.name();
    if (!IsValidNodeName(name)) {
        CHECKF_AT(false, k_SOURCE, xnodeio_loc::k_BAD_ELEMENT_NAME, "%s", name);
    }
    const size_t needed = node.text().size() + k_ELEMENT_MARGIN;
    if (out->capacity() - out->size() < needed) {
        out->reserve(std::max(out->capacity() * 2, out->size() + needed));
    }
    *out += '<';
    *out += name;
    if (node.hasAttributes() || node.isArray()) {
        if (const XNode::Attributes* attributes = node.attributes()) {
            for (const auto& [key, value] : *attributes) {
                if (!IsValidAttributeName(key)) {
                    CHECKF_AT(false, k_SOURCE, xnodeio_loc::k_BAD_ATTRIBUTE_NAME, "%s:%s", name,
                              key);
                }
                *out += ' ';
                *out += key;
                *out += "=\"";
                XNodeIO::appendEscaped(value, out);
                *out += '"';
            }
        }
        if (node.isArray()) {
            *out += " is_array=\"1\"";
        }
    }
    if (!node.hasText() && node.numChildren() == 0) {
        *out += "/>";
        return;
    }
    *out += '>';
    if (node.hasText()) {
        XNodeIO::appendEscaped(node.text(), out);
    } else {
        for (const XNode& child : node) {
            dumpElement(child, out);
        }
    }
    *out += "</";
    *out += name;
    *out += '>';
}

std::string_view xmlText(const xmlChar* s) {
    return s ? std::string_view(reinterpret_cast<const char*>(s)) : std::string_view();
}

void initParser() {
    static std::once_flag s_once;
    std::call_once(s_once, [] { xmlInitParser(); });
}

}  // namespace

bool IsValidNodeName(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    if (!isLetter(name[0]) && name[0] != '_') {
        return false;
    }
    if (name.size() >= 3 && lower(name[0]) == 'x' && lower(name[1]) == 'm' &&
        lower(name[2]) == 'l') {
        if (name == "XMLVER") {
            if (!s_xmlver_warned.exchange(true)) {
                LOG_WARN("IsValidNodeName", "allowing invalid node name '%s' through", name);
            }
        } else {
            CHECKF_AT(false, k_SOURCE, xnodeio_loc::k_BAD_NODE_NAME, "%s", name);
        }
    }
    for (size_t i = 1; i < name.size(); ++i) {
        if (!isNameChar(name[i])) {
            return false;
        }
    }
    return true;
}

bool IsValidAttributeName(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    if (!isLetter(name[0]) && name[0] != '_' && name[0] != ':') {
        return false;
    }
    for (size_t i = 1; i < name.size(); ++i) {
        if (!isNameChar(name[i])) {
            return false;
        }
    }
    return true;
}

void XNodeIO::appendEscaped(std::string_view value, std::string* out) {
    if (!needsEscape(value)) {
        out->append(value);
        return;
    }
    for (char c : value) {
        switch (c) {
            case '&':
                *out += "&amp;";
                break;
            case '<':
                *out += "&lt;";
                break;
            case '>':
                *out += "&gt;";
                break;
            case '"':
                *out += "&quot;";
                break;
            case '\'':
                *out += "&apos;";
                break;
            case '\r':
                *out += "&#xD;";
                break;
            default:
                *out += c;
                break;
        }
    }
}

void XNodeIO::dump(const XNode& node, std::string* out) {
    out->reserve(out->size() + std::max(k_INITIAL_ROOM, k_DECLARATION.size() + plainLength(node)));
    out->append(k_DECLARATION);
    dumpElement(node, out);
}

std::string XNodeIO::dump(const XNode& node) {
    std::string out;
    dump(node, &out);
    return out;
}

bool XNodeIO::loadXml(XNode& node, const char* data, size_t size) {
    Xml2Doc doc;
    if (!doc.loadFromMem(data, size)) {
        return false;
    }
    if (!CHECKF_NOSTOP_AT(doc.root() != nullptr, k_SOURCE, xnodeio_loc::k_NO_ROOT)) {
        return false;
    }
    return doc.toNode(node);
}

// Xml2Doc

Xml2Doc::Xml2Doc() {
    initParser();
    d_doc = xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
    d_root = xmlNewDocNode(d_doc, nullptr, reinterpret_cast<const xmlChar*>("root"), nullptr);
    xmlDocSetRootElement(d_doc, d_root);
}

Xml2Doc::~Xml2Doc() {
    if (d_doc) {
        xmlFreeDoc(d_doc);
    }
}

bool Xml2Doc::loadFromMem(const char* data, size_t size) {
    // No network, no external DTD, entities left as references; errors are
    // not printed (the caller logs).
    constexpr int k_OPTIONS = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    xmlDocPtr parsed = nullptr;
    if (size <= static_cast<size_t>(INT_MAX)) {
        parsed = xmlReadMemory(data, static_cast<int>(size), nullptr, nullptr, k_OPTIONS);
    }
    if (!parsed) {
        LOG_NORM("NS_XML::Xml2Doc::loadFromMem", "failed loading doc");
        return false;
    }
    if (d_doc) {
        xmlFreeDoc(d_doc);
    }
    d_doc = parsed;
    d_root = xmlDocGetRootElement(parsed);
    return true;
}

// Fills 'node' (already named) from 'element'.  Iterative over an explicit
// stack so that no document can exhaust the call stack.
bool Xml2Doc::convert(const xmlNode* element, XNode& node) {
    struct Frame {
        const xmlNode* element;
        XNode* node;
        int depth;
    };
    std::vector<Frame> pending;
    pending.push_back({element, &node, 1});
    while (!pending.empty()) {
        const Frame frame = pending.back();
        pending.pop_back();
        if (frame.depth > XNodeIO::k_MAX_DEPTH) {
            return false;
        }
        XNode& target = *frame.node;
        for (const xmlAttr* a = frame.element->properties; a; a = a->next) {
            const std::string_view name = xmlText(a->name);
            if (name == "is_array") {
                target.setArray(true);
                continue;
            }
            const std::string_view value =
                a->children ? xmlText(a->children->content) : std::string_view();
            target.setAttribute(name, value);
        }
        bool hasElements = false;
        for (const xmlNode* c = frame.element->children; c; c = c->next) {
            if (c->type == XML_ELEMENT_NODE) {
                hasElements = true;
                break;
            }
        }
        if (hasElements) {
            // Children are appended in document order first; their own
            // content is filled afterwards (a deque keeps them in place).
            for (const xmlNode* c = frame.element->children; c; c = c->next) {
                if (c->type == XML_ELEMENT_NODE) {
                    std::string_view name = xmlText(c->name);
                    target.addChild(name.empty() ? std::string_view("root") : name);
                }
            }
            size_t index = target.numChildren();
            for (const xmlNode* c = frame.element->last; c; c = c->prev) {
                if (c->type == XML_ELEMENT_NODE) {
                    --index;
                    pending.push_back({c, &target.childAt(index), frame.depth + 1});
                }
            }
        } else if (target.isArray()) {
            target.ensureChildren("i");  // an empty array
        } else {
            const xmlNode* first = frame.element->children;
            if (first && (first->type == XML_TEXT_NODE || first->type == XML_CDATA_SECTION_NODE)) {
                target.setText(xmlText(first->content));
            } else {
                target.setText({});
            }
        }
    }
    return true;
}

bool Xml2Doc::toNode(XNode& node) const {
    if (!d_root) {
        return false;
    }
    const std::string_view name = xmlText(d_root->name);
    node.setName(name.empty() ? std::string_view("root") : name);
    return convert(d_root, node);
}

}  // namespace NS_XML
