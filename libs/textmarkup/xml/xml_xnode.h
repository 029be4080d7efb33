// xml_xnode.h                                                     -*-C++-*-
//
// 'NS_XML::XNode': the document tree in which messages are built and read.
// A node has a name and either text or an ordered list of children, plus
// optional attributes and an array flag (array items are children named "i").
// Attributes, text and the child list are allocated on first use; children
// live in a deque, so appending never moves existing children and references
// to them stay valid.
//
// Misuse never throws: it is reported as a failed check and the operation
// goes on in a defined way (names replaced by "_error", text or children
// dropped, the shared empty node returned).  Accesses that cannot be
// satisfied count in a per-thread error counter.
//
// A tree is saved as compact XML (or, when large, a compressed container of
// it) and loaded from the container, XML or legacy JSON.  Loading takes bytes
// from peers and never stops the process.
//
// Thread safety: a tree belongs to one thread at a time; distinct trees may
// be used concurrently.
#ifndef INCLUDED_XML_XNODE
#define INCLUDED_XML_XNODE

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include <absl/container/flat_hash_map.h>

#include "core_gsharedbuf.h"

namespace NS_XML {

class JsonReader;
class Xml2Doc;

class XNode {
  public:
    using Attributes = absl::flat_hash_map<std::string, std::string>;
    using Children = std::deque<XNode>;

    // Iterates the children of one parent in order, optionally only those
    // with one exact name.  Holds the parent, a position (-1 at the end) and
    // the filter.
    template <class Node>
    class BasicIterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = XNode;
        using difference_type = std::ptrdiff_t;
        using pointer = Node*;
        using reference = Node&;

        BasicIterator() = default;
        BasicIterator(Node* parent, long index, std::string_view filter, bool filtered)
            : d_parent(parent), d_index(index), d_filter(filter), d_filtered(filtered) {
            skipToMatch();
        }

        // Dereferencing at the end or out of range logs CRIT, raises a failed
        // check and gives the shared empty node.
        Node& operator*() const;
        Node* operator->() const { return &**this; }
        BasicIterator& operator++() {
            if (d_index >= 0) {
                ++d_index;
                skipToMatch();
            }
            return *this;
        }
        BasicIterator operator++(int) {
            BasicIterator old(*this);
            ++*this;
            return old;
        }
        // Equal when parent and position are equal and, unless both are at
        // the end, the filters are equal.
        bool operator==(const BasicIterator& other) const {
            if (d_parent != other.d_parent || d_index != other.d_index) {
                return false;
            }
            if (d_index == -1) {
                return true;
            }
            return d_filtered == other.d_filtered && (!d_filtered || d_filter == other.d_filter);
        }

        long index() const { return d_index; }

      private:
        void skipToMatch();

        Node* d_parent = nullptr;
        long d_index = -1;
        std::string d_filter;
        bool d_filtered = false;
    };

    using iterator = BasicIterator<XNode>;
    using const_iterator = BasicIterator<const XNode>;

    // A range over the children, optionally filtered by name.
    template <class Node>
    class BasicRange {
      public:
        BasicRange(Node* parent, std::string_view filter, bool filtered)
            : d_parent(parent), d_filter(filter), d_filtered(filtered) {}
        BasicIterator<Node> begin() const {
            return BasicIterator<Node>(d_parent, 0, d_filter, d_filtered);
        }
        BasicIterator<Node> end() const {
            return BasicIterator<Node>(d_parent, -1, d_filter, d_filtered);
        }

      private:
        Node* d_parent;
        std::string d_filter;
        bool d_filtered;
    };

    // CREATORS
    XNode() = default;
    explicit XNode(std::string_view name) : d_name(name) {}
    XNode(const XNode& other);  // deep copy
    XNode(XNode&& other) noexcept = default;
    XNode& operator=(const XNode& other);
    XNode& operator=(XNode&& other) noexcept = default;
    ~XNode();

    // The shared empty node (no name, text or children) handed out by
    // accesses that cannot be satisfied.
    static const XNode& emptyNode();
    // The calling thread's count of unsatisfiable accesses.
    static uint64_t accessErrors();
    static void resetAccessErrors();

    // MANIPULATORS
    void setName(std::string_view name) { d_name.assign(name); }

    // Appends a child named 'name' (an empty name becomes "_error" after a
    // failed check) and returns it.  A node with text loses the text.
    XNode& addChild(std::string_view name);
    // The first child named 'name', appended when there is none.
    XNode& child(std::string_view name);
    // The child at 'index'; out of range raises a failed check and gives an
    // empty node (the shared one for const access, a per-thread scratch node
    // that is emptied on each such access otherwise).
    XNode& childAt(size_t index);
    // Appends a child with the array flag and an empty child list.
    XNode& addArray(std::string_view name);
    // Appends an item "i" to this array node.
    XNode& addArrayItem();

    // Sets the text (replacing earlier text).  Children, if any, are dropped
    // after a failed check.  Text that is not valid UTF-8 is cut at the first
    // bad sequence after a failed check that carries a hex dump of it.
    void setText(std::string_view text);
    // 'child(name).setText(value)'; integers are written in decimal.
    XNode& set(std::string_view name, std::string_view value);
    XNode& set(std::string_view name, const char* value) {
        return set(name, std::string_view(value));
    }
    XNode& set(std::string_view name, const std::string& value) {
        return set(name, std::string_view(value));
    }
    template <class Int>
    requires(std::is_integral_v<Int> &&
             !std::is_same_v<Int, bool>) XNode& set(std::string_view name, Int value) {
        return set(name, std::string_view(std::to_string(value)));
    }
    void setAttribute(std::string_view name, std::string_view value);
    void setArray(bool isArray) { d_is_array = isArray; }
    // Drops attributes, text and children and clears the array flag; the
    // name stays.
    void clear();

    // Replaces the content with what 'data' holds: nothing (an empty node),
    // a compressed container, legacy JSON (first byte "{") or XML.  Answers
    // false on failure; the node is then empty or partly filled.
    bool load(const char* data, size_t size);
    bool load(std::string_view data) { return load(data.data(), data.size()); }

    // ACCESSORS
    const std::string& name() const { return d_name; }
    bool hasChild(std::string_view name) const;
    // The first child named 'name', or null.
    const XNode* findChild(std::string_view name) const;
    XNode* findChild(std::string_view name);
    // The first child named 'name', or the shared empty node.
    const XNode& child(std::string_view name) const;
    const XNode& childAt(size_t index) const;
    size_t numChildren() const { return d_children ? d_children->size() : 0; }
    bool hasChildren() const { return d_children != nullptr; }

    bool hasText() const { return d_has_text; }
    // The text, or an empty string when absent.
    const std::string& text() const { return d_text; }
    // The text as a decimal integer; 0 on failure, which also counts as an
    // access error unless the node has no content at all.
    int textAsInt() const;

    bool hasAttributes() const { return d_attributes && !d_attributes->empty(); }
    bool hasAttribute(std::string_view name) const;
    // The attribute's value, or an empty string.
    const std::string& attribute(std::string_view name) const;
    const Attributes* attributes() const { return d_attributes.get(); }

    bool isArray() const { return d_is_array; }
    // Whether the node has text, children or attributes.
    bool hasContent() const { return d_has_text || d_children || hasAttributes(); }

    // The saved form: nothing for an empty nameless node, else the XML dump,
    // replaced by the compressed container from 1024 bytes on when shorter.
    core::GSharedBuf save() const;

    // ITERATION
    iterator begin() { return iterator(this, 0, {}, false); }
    iterator end() { return iterator(this, -1, {}, false); }
    const_iterator begin() const { return const_iterator(this, 0, {}, false); }
    const_iterator end() const { return const_iterator(this, -1, {}, false); }
    BasicRange<XNode> children(std::string_view name) { return {this, name, true}; }
    BasicRange<const XNode> children(std::string_view name) const { return {this, name, true}; }

    // Writes the tree in an indented debug form (one node per line).
    std::string debugString() const;

  private:
    friend class JsonReader;
    friend class Xml2Doc;

    // Stores 'text' without the UTF-8 test (readers that keep bytes as sent).
    void setTextRaw(std::string_view text);
    XNode& appendChild(std::string_view name);
    Children& ensureChildren(std::string_view childName);
    static XNode& scratchNode();
    static void countAccessError();
    static void logBadDeref(const XNode* parent, long index);

    std::string d_name;
    std::unique_ptr<Attributes> d_attributes;
    std::string d_text;
    std::unique_ptr<Children> d_children;
    bool d_has_text = false;
    bool d_is_array = false;
};

// Answers the length of the longest prefix of 'text' that is valid UTF-8.
size_t validUtf8Prefix(std::string_view text);

template <class Node>
void XNode::BasicIterator<Node>::skipToMatch() {
    if (d_index < 0 || !d_parent) {
        d_index = -1;
        return;
    }
    const size_t n = d_parent->numChildren();
    while (static_cast<size_t>(d_index) < n && d_filtered &&
           (*d_parent->d_children)[d_index].d_name != d_filter) {
        ++d_index;
    }
    if (static_cast<size_t>(d_index) >= n) {
        d_index = -1;
    }
}

template <class Node>
Node& XNode::BasicIterator<Node>::operator*() const {
    if (d_parent && d_index >= 0 && static_cast<size_t>(d_index) < d_parent->numChildren()) {
        return (*d_parent->d_children)[d_index];
    }
    XNode::logBadDeref(d_parent, d_index);
    if constexpr (std::is_const_v<Node>) {
        return XNode::emptyNode();
    } else {
        return XNode::scratchNode();
    }
}

}  // namespace NS_XML

#endif
