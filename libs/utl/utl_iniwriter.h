// utl_iniwriter.h                                                 -*-C++-*-
//
// 'utl::IniWriter': builds INI text from an ordered list of sections and
// entries, in the plainest form 'IniReader' accepts: "[name]" headers with an
// empty line between sections, entries as key, one space, value (quoted when
// it could not be read back otherwise), line feeds only.  A new writer holds
// one section without a name, whose entries (if any) come before the first
// header.  The Windows profile form ('e_PROFILE') writes "key=value" and
// carriage return with line feed instead: the system's profile functions
// (and the installer built on them) find no key without "=", and that is
// the form Windows editors keep.  'IniReader' reads both.
//
// Thread safety: one writer per thread.
#ifndef INCLUDED_UTL_INIWRITER
#define INCLUDED_UTL_INIWRITER

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace utl {

class IniWriter {
  public:
    // TYPES
    enum Form { e_PLAIN, e_PROFILE };

    explicit IniWriter(Form form = e_PLAIN);

    // Appends a section; later entries go to it.
    void addSection(std::string_view name);
    // Appends an entry to the last section.
    void addEntry(std::string_view key, std::string_view value);

    // The file text.
    std::string toText() const;
    // Replaces the file 'path' with the text atomically.
    bool saveToFile(std::string_view path, int mode = 0600) const;

  private:
    struct Section {
        std::string d_name;
        std::vector<std::pair<std::string, std::string>> d_values;
    };
    std::vector<Section> d_entries;
    Form d_form;
};

}  // namespace utl

#endif
