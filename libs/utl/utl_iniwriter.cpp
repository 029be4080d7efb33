#include "utl_iniwriter.h"

#include "core_assert.h"
#include "utl_file.h"

namespace utl {

namespace {

// A value with a space needs quotes to stay one token.  So does one with
// "=", "#" or ";", which the reader would otherwise take for a separator or
// the start of a comment and cut.
bool needsQuotes(std::string_view value) {
    return value.find_first_of(" =#;") != std::string_view::npos;
}

}  // namespace

IniWriter::IniWriter(Form form) : d_entries(1), d_form(form) {}

void IniWriter::addSection(std::string_view name) {
    d_entries.push_back(Section{std::string(name), {}});
}

void IniWriter::addEntry(std::string_view key, std::string_view value) {
    if (d_entries.empty()) {
        if (core::Assert::checkLevel() >= 1) {
            core::Assert::fail("!d_entries.empty()", "utl_iniwriter", __LINE__, 1, {});
        }
        d_entries.emplace_back();
    }
    d_entries.back().d_values.emplace_back(std::string(key), std::string(value));
}

std::string IniWriter::toText() const {
    const std::string_view lineEnd = d_form == e_PROFILE ? "\r\n" : "\n";
    const char separator = d_form == e_PROFILE ? '=' : ' ';
    std::string out;
    for (const Section& section : d_entries) {
        if (!section.d_name.empty()) {
            if (!out.empty()) {
                out += lineEnd;
            }
            out += '[';
            out += section.d_name;
            out += ']';
            out += lineEnd;
        }
        for (const auto& [key, value] : section.d_values) {
            out += key;
            out += separator;
            if (needsQuotes(value)) {
                out += '"';
                out += value;
                out += '"';
            } else {
                out += value;
            }
            out += lineEnd;
        }
    }
    return out;
}

bool IniWriter::saveToFile(std::string_view path, int mode) const {
    return File::createFromMemSafe(path, toText(), mode);
}

}  // namespace utl
