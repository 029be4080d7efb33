#include "xml_xnode.h"

#include <absl/strings/numbers.h>

#include <algorithm>
#include <cstring>

#include "core_assert.h"
#include "core_compressor.h"
#include "core_v2masterlogger.h"
#include "xml_jsonreader.h"
#include "xml_xnodeio.h"

namespace NS_XML {

namespace {

constexpr std::string_view k_SOURCE = "xml_xnode";
constexpr size_t k_COMPRESS_FROM = 1024;
constexpr size_t k_HEX_DUMP_LIMIT = 1024;
constexpr size_t k_JSON_QUOTE_LIMIT = 160;
constexpr int k_PEER_FAULT_RATE_CLASS = 6;

// Fixed numbers in the log that operators grep for: never __LINE__, which moves.
namespace xnode_loc {
constexpr int k_ITERATOR_DEREF = 1608;
constexpr int k_INFLATE_FAILED = 1263;
constexpr int k_JSON_FALLBACK = 1291;
constexpr int k_CHILD_AT = 690;
constexpr int k_EMPTY_SAVE = 981;
}  // namespace xnode_loc

thread_local uint64_t t_access_errors = 0;

// The installed Abseil has its own string_view type.
absl::string_view toAbsl(std::string_view s) {
    return absl::string_view(s.data(), s.size());
}

const std::string& emptyString() {
    static const std::string s_empty;
    return s_empty;
}

// 16 bytes per line: offset, hex bytes, printable characters.
std::string hexDump(std::string_view bytes) {
    static const char k_HEX[] = "0123456789abcdef";
    const size_t n = std::min(bytes.size(), k_HEX_DUMP_LIMIT);
    std::string out;
    out.reserve(n / 16 * 80 + 80);
    for (size_t line = 0; line < n; line += 16) {
        core::strAppendFormat(out, "\n%04x:", static_cast<unsigned>(line));
        std::string printable;
        for (size_t i = line; i < line + 16; ++i) {
            if (i < n) {
                const auto c = static_cast<unsigned char>(bytes[i]);
                out += ' ';
                out += k_HEX[c >> 4];
                out += k_HEX[c & 15];
                printable += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
            } else {
                out += "   ";
            }
        }
        out += "  ";
        out += printable;
    }
    return out;
}

void appendDebug(const XNode& node, int depth, std::string* out) {
    out->append(static_cast<size_t>(depth) * 2, ' ');
    *out += node.name().empty() ? "(no name)" : node.name();
    if (node.isArray()) {
        *out += " [array]";
    }
    if (const XNode::Attributes* attributes = node.attributes()) {
        for (const auto& [key, value] : *attributes) {
            core::strAppendFormat(*out, " @%s=\"%s\"", key, value);
        }
    }
    if (node.hasText()) {
        core::strAppendFormat(*out, " = \"%s\"", node.text());
    }
    *out += '\n';
    for (const XNode& child : node) {
        appendDebug(child, depth + 1, out);
    }
}

}  // namespace

size_t validUtf8Prefix(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        // ASCII runs, eight bytes at a time.
        while (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ull) {
                break;
            }
            i += 8;
        }
        if (i >= n) {
            break;
        }
        const unsigned char c = p[i];
        size_t follow;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            follow = 1;
        } else if ((c & 0xF0) == 0xE0) {
            follow = 2;
        } else if ((c & 0xF8) == 0xF0) {
            follow = 3;
        } else {
            return i;
        }
        if (i + follow >= n) {
            return i;
        }
        for (size_t k = 1; k <= follow; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                return i;
            }
        }
        i += follow + 1;
    }
    return n;
}

// CREATORS

XNode::XNode(const XNode& other)
    : d_name(other.d_name),
      d_text(other.d_text),
      d_has_text(other.d_has_text),
      d_is_array(other.d_is_array) {
    if (other.d_attributes) {
        d_attributes = std::make_unique<Attributes>(*other.d_attributes);
    }
    if (other.d_children) {
        d_children = std::make_unique<Children>(*other.d_children);
    }
}

XNode& XNode::operator=(const XNode& other) {
    if (this != &other) {
        XNode copy(other);
        *this = std::move(copy);
    }
    return *this;
}

XNode::~XNode() = default;

const XNode& XNode::emptyNode() {
    static const XNode s_empty;
    return s_empty;
}

uint64_t XNode::accessErrors() {
    return t_access_errors;
}

void XNode::resetAccessErrors() {
    t_access_errors = 0;
}

void XNode::countAccessError() {
    ++t_access_errors;
}

XNode& XNode::scratchNode() {
    // Writes through a failed non-const access land here and are forgotten.
    thread_local XNode t_scratch;
    t_scratch.clear();
    t_scratch.d_name.clear();
    return t_scratch;
}

void XNode::logBadDeref(const XNode* parent, long index) {
    const std::string_view name = parent ? std::string_view(parent->d_name) : "";
    const void* children = parent ? parent->d_children.get() : nullptr;
    if (core::isLogEnabled(core::LOG_CRIT)) {
        core::MasterLogger::logf(
            core::LOG_CRIT, core::strFormat("XNode(%s)::iterator::operator*()", name),
            "d_index=%u, d_children=%p", static_cast<unsigned>(index), children);
    }
    CHECKF_AT(false, k_SOURCE, xnode_loc::k_ITERATOR_DEREF, "index=%d,parent=%p", index, parent);
    countAccessError();
}

// MANIPULATORS

XNode::Children& XNode::ensureChildren(std::string_view childName) {
    if (!d_children) {
        if (d_has_text) {
            CHECKF(false, "%s,%s", d_name, childName);
            d_text.clear();
            d_text.shrink_to_fit();
            d_has_text = false;
        }
        d_children = std::make_unique<Children>();
    }
    return *d_children;
}

XNode& XNode::appendChild(std::string_view name) {
    if (!CHECKF(!name.empty(), "%s", d_name)) {
        name = "_error";
    }
    Children& children = ensureChildren(name);
    children.emplace_back(name);
    return children.back();
}

XNode& XNode::addChild(std::string_view name) {
    return appendChild(name);
}

XNode& XNode::child(std::string_view name) {
    if (XNode* found = findChild(name)) {
        return *found;
    }
    return appendChild(name);
}

XNode& XNode::childAt(size_t index) {
    if (index < numChildren()) {
        return (*d_children)[index];
    }
    static_cast<const XNode*>(this)->childAt(index);  // reports
    return scratchNode();
}

XNode& XNode::addArray(std::string_view name) {
    if (core::Assert::checkLevel() >= 1 && d_is_array) {
        core::Assert::fail("!isArray()", k_SOURCE, __LINE__, 1, d_name);
    }
    XNode& array = appendChild(name);
    array.d_children = std::make_unique<Children>();
    array.d_is_array = true;
    return array;
}

XNode& XNode::addArrayItem() {
    if (core::Assert::checkLevel() >= 1 && !d_is_array) {
        core::Assert::fail("isArray()", k_SOURCE, __LINE__, 1, d_name);
    }
    Children& items = ensureChildren("i");
    items.emplace_back("i");
    return items.back();
}

void XNode::setTextRaw(std::string_view text) {
    if (!d_has_text && d_children) {
        CHECKF(false, "%s", d_name);
        d_children.reset();
        d_is_array = false;
    }
    d_text.assign(text);
    d_has_text = true;
}

void XNode::setText(std::string_view text) {
    setTextRaw(text);
    const size_t valid = validUtf8Prefix(d_text);
    // Text often comes from outside (WMI values, peers): report, cut, go on.
    if (!CHECKF_NOSTOP(valid == d_text.size(), "%s", hexDump(d_text))) {
        d_text.resize(valid);
    }
}

XNode& XNode::set(std::string_view name, std::string_view value) {
    XNode& target = child(name);
    target.setText(value);
    return target;
}

void XNode::setAttribute(std::string_view name, std::string_view value) {
    if (!d_attributes) {
        d_attributes = std::make_unique<Attributes>();
    }
    (*d_attributes)[toAbsl(name)].assign(value);
}

void XNode::clear() {
    d_attributes.reset();
    d_text.clear();
    d_has_text = false;
    d_children.reset();
    d_is_array = false;
}

bool XNode::load(const char* data, size_t size) {
    clear();
    d_name.clear();
    if (size == 0) {
        return true;
    }
    std::string inflated;
    if (core::Compressor::isContainer(data, size)) {
        if (!core::Compressor::decompress(data, size, &inflated)) {
            // A peer can send such payloads at will: once a minute, with a count.
            if (core::isLogEnabled(core::LOG_WARN)) {
                core::MasterLogger::logRate(
                    k_PEER_FAULT_RATE_CLASS, core::LOG_WARN,
                    core::strFormat("Log at %s:%d", k_SOURCE, xnode_loc::k_INFLATE_FAILED));
            }
            return false;
        }
        data = inflated.data();
        size = inflated.size();
        if (size == 0) {
            return true;
        }
    }
    if (data[0] == '{') {
        CHECKF_NOSTOP_AT(false, k_SOURCE, xnode_loc::k_JSON_FALLBACK,
                         "falling back to legacy JSON (%s)",
                         core::logSafe(std::string_view(data, size), k_JSON_QUOTE_LIMIT));
        JsonReader reader(false, data, data + size);
        if (!reader.load(*this)) {
            LOG_RATE_SITE(k_PEER_FAULT_RATE_CLASS, core::LOG_WARN, "NS_XML::XNode::load",
                          "failed loading legacy JSON (%s)", core::logSafe(reader.error()));
            return false;
        }
        return true;
    }
    return XNodeIO::loadXml(*this, data, size);
}

// ACCESSORS

const XNode* XNode::findChild(std::string_view name) const {
    if (d_children) {
        for (const XNode& c : *d_children) {
            if (c.d_name == name) {
                return &c;
            }
        }
    }
    return nullptr;
}

XNode* XNode::findChild(std::string_view name) {
    return const_cast<XNode*>(static_cast<const XNode*>(this)->findChild(name));
}

bool XNode::hasChild(std::string_view name) const {
    return findChild(name) != nullptr;
}

const XNode& XNode::child(std::string_view name) const {
    if (const XNode* found = findChild(name)) {
        return *found;
    }
    countAccessError();
    return emptyNode();
}

const XNode& XNode::childAt(size_t index) const {
    if (index < numChildren()) {
        return (*d_children)[index];
    }
    CHECKF_AT(false, k_SOURCE, xnode_loc::k_CHILD_AT, "index=%u,size=%u", index, numChildren());
    countAccessError();
    return emptyNode();
}

int XNode::textAsInt() const {
    int value = 0;
    if (absl::SimpleAtoi(d_text, &value)) {
        return value;
    }
    if (!d_text.empty() || numChildren() != 0 || hasAttributes()) {
        countAccessError();
    }
    return 0;
}

bool XNode::hasAttribute(std::string_view name) const {
    return d_attributes && d_attributes->contains(toAbsl(name));
}

const std::string& XNode::attribute(std::string_view name) const {
    if (d_attributes) {
        auto it = d_attributes->find(toAbsl(name));
        if (it != d_attributes->end()) {
            return it->second;
        }
    }
    return emptyString();
}

core::GSharedBuf XNode::save() const {
    if (d_name.empty() && !d_has_text && numChildren() == 0 && !hasAttributes()) {
        return {};
    }
    std::string dump;
    XNodeIO::dump(*this, &dump);
    if (dump.empty()) {
        if (core::isLogEnabled(core::LOG_WARN)) {
            core::MasterLogger::log(core::LOG_WARN, "NS_XML::XNode::save",
                                    "empty dump of\n" + debugString());
        }
        CHECKF_AT(false, k_SOURCE, xnode_loc::k_EMPTY_SAVE);
        return {};
    }
    if (dump.size() >= k_COMPRESS_FROM) {
        core::GSharedBuf packed;
        if (core::Compressor::compress(dump.data(), dump.size(), &packed) &&
            packed.size() < dump.size()) {
            return packed;
        }
    }
    return core::GSharedBuf::copyOf(dump);
}

std::string XNode::debugString() const {
    std::string out;
    appendDebug(*this, 0, &out);
    return out;
}

}  // namespace NS_XML
