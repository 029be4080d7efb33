// xml_jsonreader.h                                                -*-C++-*-
//
// 'NS_XML::JsonReader': the reader of the legacy JSON form of documents, a
// small recursive-descent parser over a byte range that builds the same
// 'XNode' tree as XML would.  The top-level object fills the node (named
// "root", or the value of a top-level "_root" key).  In legacy mode an array
// becomes repeated children named after its key; in array mode it becomes an
// array node with items "i".  The first problem ends the load with an error
// text; the tree keeps what was built.  Objects and arrays nested deeper than
// 'k_MAX_DEPTH' are refused, so no input can exhaust the call stack.
//
// Thread safety: one reader per thread.
#ifndef INCLUDED_XML_JSONREADER
#define INCLUDED_XML_JSONREADER

#include <string>
#include <string_view>

#include "xml_xnode.h"

namespace NS_XML {

class JsonReader {
  public:
    static constexpr int k_MAX_DEPTH = 256;

    // CREATORS
    // Reads [begin, end); 'arrayMode' selects array nodes over repeated
    // children.
    JsonReader(bool arrayMode, const char* begin, const char* end)
        : d_begin(begin), d_pos(begin), d_end(end), d_array_mode(arrayMode) {}

    // MANIPULATORS
    // Parses the whole input into 'node'; false with 'error()' set on failure.
    bool load(XNode& node);

    // ACCESSORS
    const std::string& error() const { return d_error; }

  private:
    enum class Step { e_END, e_NEXT, e_FAIL };

    // Steps over whitespace and the separator before the next member of an
    // object or array: e_END after its closing 'closer', e_FAIL with the
    // error set, e_NEXT at the member.
    template <class LeadingComma, class MissingComma>
    Step nextMember(char closer, bool* first, LeadingComma leadingComma, MissingComma missingComma);
    bool parseObject(XNode& node, bool topLevel, int depth);
    bool parseArray(XNode& parent, const std::string& key, int depth);
    // Reads a scalar into '*out'; on failure '*error' says why.
    bool parseScalar(std::string* out, std::string* error);
    bool parseString(std::string* out, std::string* error);
    bool parseNumber(std::string* out, std::string* error);
    bool parseWord(std::string_view word, const char* text, std::string* out, std::string* error);
    void skipWhitespace();
    bool atEnd() const { return d_pos >= d_end; }

    const char* d_begin;
    const char* d_pos;
    const char* d_end;
    bool d_array_mode;
    std::string d_error;
};

}  // namespace NS_XML

#endif
