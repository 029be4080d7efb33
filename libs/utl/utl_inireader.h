// utl_inireader.h                                                 -*-C++-*-
//
// 'utl::IniReader': a lenient reader of INI text.  Lines end at line feed or
// carriage return; "#" or ";" outside quotes starts a comment; a line is
// split into tokens at "=" and spaces (a token opened by a double quote runs
// to the closing one); "[name]" starts a section; a line of two or more
// tokens is an entry (key, value); entries before any header belong to
// section "root".  Text may open with a byte-order mark: UTF-8's is
// skipped, UTF-16 (little- or big-endian) is read as UTF-8.  A key repeated in a section keeps its
// first value and is warned about.  Reading never fails on content.
//
// Thread safety: one reader per thread; const access may be shared.
#ifndef INCLUDED_UTL_INIREADER
#define INCLUDED_UTL_INIREADER

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace utl {

class IniReader {
  public:
    using Section = std::map<std::string, std::string, std::less<>>;
    using Sections = std::map<std::string, Section, std::less<>>;
    // Section names in the order they first appear, each with its keys in the
    // order they were read.
    using Order = std::vector<std::pair<std::string, std::vector<std::string>>>;

    // MANIPULATORS
    // Parses 'size' bytes at 'data' into the sections read so far; always
    // succeeds and marks the reader loaded.  Names and values come out in
    // UTF-8 whatever the byte-order mark said.
    bool load(const char* data, size_t size);
    bool load(std::string_view text) { return load(text.data(), text.size()); }
    // Clears the reader, then reads the file 'path'.  False when the file does
    // not exist, cannot be read or is empty.
    bool loadFromFile(std::string_view path);
    // Clears the reader, then reads 'bytes' as the contents of the file
    // 'path' (named in messages).  False when 'bytes' is empty.
    bool loadFileBytes(std::string_view bytes, std::string_view path);
    void clear();

    // The text of the file contents 'bytes' as UTF-8, as 'load' reads it:
    // without a byte-order mark, UTF-16 converted (into '*converted', which
    // the answer may then point into).
    static std::string_view textOf(std::string_view bytes, std::string* converted);

    // ACCESSORS
    // The value of 'key' in 'section' into '*out'; false (out unchanged) when
    // either is missing.
    bool getString(std::string_view section, std::string_view key, std::string* out) const;
    // The value as a decimal integer.  False when the key is missing ('*out'
    // unchanged) or the value is not a decimal integer; in the latter case
    // '*out' receives the value of its leading digits (0 when there are none).
    bool getInt(std::string_view section, std::string_view key, int* out) const;
    bool hasKey(std::string_view section, std::string_view key) const;
    bool hasSection(std::string_view section) const;
    bool isLoaded() const { return d_loaded; }
    const Sections& sections() const { return d_sections; }
    const Order& order() const { return d_order; }

  private:
    void parseLine(std::string_view line, std::string* section);
    const std::string* find(std::string_view section, std::string_view key) const;
    std::vector<std::string>& keysInOrder(const std::string& section);

    bool d_loaded = false;
    Sections d_sections;
    Order d_order;
    std::map<std::string, size_t, std::less<>> d_order_index;  // into d_order
    std::string d_path;                                        // the file being read, for messages
};

}  // namespace utl

#endif
