// xml_xnodeio.h                                                   -*-C++-*-
//
// XML writing and reading of 'NS_XML::XNode' trees.  'XNodeIO' writes the
// compact dump (declaration, then elements without any whitespace) and loads
// XML through 'Xml2Doc', the owner of one libxml2 document.  The parser never
// touches the network, never loads external DTDs and never substitutes
// entities; documents nested deeper than 'k_MAX_DEPTH' fail to load.
//
// Thread safety: all functions are reentrant; an 'Xml2Doc' belongs to one
// thread.
#ifndef INCLUDED_XML_XNODEIO
#define INCLUDED_XML_XNODEIO

#include <cstddef>
#include <string>
#include <string_view>

#include "xml_xnode.h"

struct _xmlDoc;
struct _xmlNode;

namespace NS_XML {

// Element names: a letter or "_" first, then letters, digits, "-", ".", ":"
// or "_".  Names starting with "xml" in any case are reserved: "XMLVER" is let
// through with a one-time WARN, any other raises a failed check.
bool IsValidNodeName(std::string_view name);
// Attribute names: as element names, but ":" may come first and there is no
// "xml" rule.
bool IsValidAttributeName(std::string_view name);

class XNodeIO {
  public:
    // The deepest element nesting a loaded document may have.
    static constexpr int k_MAX_DEPTH = 256;

    // Appends the declaration and the element of 'node' to '*out'.
    static void dump(const XNode& node, std::string* out);
    static std::string dump(const XNode& node);
    // Appends 'value' with "&", "<", ">", '"', "'" and carriage return
    // replaced by their references.
    static void appendEscaped(std::string_view value, std::string* out);

    // Parses 'data' as XML and converts its root element into 'node'.
    static bool loadXml(XNode& node, const char* data, size_t size);
};

class Xml2Doc {
  public:
    // CREATORS
    // A document of version "1.0" whose root element is "root".
    Xml2Doc();
    ~Xml2Doc();
    Xml2Doc(const Xml2Doc&) = delete;
    Xml2Doc& operator=(const Xml2Doc&) = delete;

    // MANIPULATORS
    // Parses 'data'; on success replaces the document.  A parse failure logs
    // NORM "failed loading doc".
    bool loadFromMem(const char* data, size_t size);

    // ACCESSORS
    _xmlDoc* doc() const { return d_doc; }
    _xmlNode* root() const { return d_root; }
    // Converts the root element into 'node' (which must be empty); false when
    // the tree is nested deeper than 'XNodeIO::k_MAX_DEPTH'.
    bool toNode(XNode& node) const;

  private:
    static bool convert(const _xmlNode* element, XNode& node);

    _xmlDoc* d_doc = nullptr;
    _xmlNode* d_root = nullptr;
};

}  // namespace NS_XML

#endif
