#include "utl_inireader.h"

#include <climits>
#include <cstdint>
#include <vector>

#include "core_v2masterlogger.h"
#include "utl_fileutils.h"

namespace utl {

namespace {

// The line without its comment: from the first "#" or ";" outside a stretch
// quoted with '"' or "'".
std::string_view withoutComment(std::string_view line) {
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote) {
            if (c == quote) {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '#' || c == ';') {
            return line.substr(0, i);
        }
    }
    return line;
}

bool isSeparator(char c) {
    return c == '=' || c == ' ';
}

void tokenize(std::string_view line, std::vector<std::string_view>* tokens) {
    tokens->clear();
    size_t i = 0;
    while (i < line.size()) {
        if (isSeparator(line[i])) {
            ++i;
            continue;
        }
        std::string_view token;
        if (line[i] == '"') {
            const size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) {
                token = line.substr(i + 1);
                i = line.size();
            } else {
                token = line.substr(i + 1, close - i - 1);
                i = close + 1;
            }
        } else {
            const size_t start = i;
            while (i < line.size() && !isSeparator(line[i])) {
                ++i;
            }
            token = line.substr(start, i - start);
        }
        if (!token.empty()) {
            tokens->push_back(token);
        }
    }
}

// Appends code point 'c' to 'out' in UTF-8.
void appendUtf8(uint32_t c, std::string* out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xc0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xe0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else {
        out->push_back(static_cast<char>(0xf0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
    }
}

// UTF-16 text (after its byte-order mark) as UTF-8.  A lone surrogate or an
// odd last byte becomes U+FFFD: the text is still read, never refused.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    const auto unit = [&](size_t i) {
        const auto hi = static_cast<unsigned char>(bytes[bigEndian ? i : i + 1]);
        const auto lo = static_cast<unsigned char>(bytes[bigEndian ? i + 1 : i]);
        return static_cast<uint32_t>(hi << 8 | lo);
    };
    constexpr uint32_t k_REPLACEMENT = 0xfffd;
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        uint32_t c = unit(i);
        if (c >= 0xd800 && c < 0xdc00 && i + 3 < bytes.size() && unit(i + 2) >= 0xdc00 &&
            unit(i + 2) < 0xe000) {
            c = 0x10000 + ((c - 0xd800) << 10) + (unit(i + 2) - 0xdc00);
            i += 2;
        } else if (c >= 0xd800 && c < 0xe000) {
            c = k_REPLACEMENT;
        }
        appendUtf8(c, &out);
    }
    if (i < bytes.size()) {
        appendUtf8(k_REPLACEMENT, &out);
    }
    return out;
}

}  // namespace

void IniReader::clear() {
    d_loaded = false;
    d_sections.clear();
    d_order.clear();
    d_order_index.clear();
    d_path.clear();
}

std::string_view IniReader::textOf(std::string_view bytes, std::string* converted) {
    // Windows editors mark their encoding: Notepad's UTF-8 and "Unicode",
    // PowerShell's Out-File (UTF-16 little-endian) and big-endian UTF-16.
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    } else if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF") {
        *converted = utf16ToUtf8(bytes.substr(2), bytes[0] == '\xFE');
        bytes = *converted;
    }
    return bytes;
}

bool IniReader::load(const char* data, size_t size) {
    std::string converted;
    const std::string_view text = textOf(std::string_view(data, size), &converted);
    std::string section = "root";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start) {
            parseLine(text.substr(start, end - start), &section);
        }
        start = end + 1;
    }
    d_loaded = true;
    return true;
}

void IniReader::parseLine(std::string_view line, std::string* section) {
    thread_local std::vector<std::string_view> tokens;
    tokenize(withoutComment(line), &tokens);
    if (tokens.empty()) {
        return;
    }
    const std::string_view first = tokens[0];
    if (first.size() > 2 && first.front() == '[' && first.back() == ']') {
        section->assign(first.substr(1, first.size() - 2));
        d_sections.try_emplace(*section);
        keysInOrder(*section);
        return;
    }
    if (tokens.size() < 2) {
        return;
    }
    Section& entries = d_sections[*section];
    if (entries.emplace(std::string(first), std::string(tokens[1])).second) {
        keysInOrder(*section).emplace_back(first);
    } else {
        LOG_WARN("utl::IniReader::load", "(%s) - duplicate property '%s' in section '%s'", d_path,
                 first, *section);
    }
}

std::vector<std::string>& IniReader::keysInOrder(const std::string& section) {
    const auto found = d_order_index.try_emplace(section, d_order.size());
    if (found.second) {
        d_order.emplace_back(section, std::vector<std::string>());
    }
    return d_order[found.first->second].second;
}

bool IniReader::loadFromFile(std::string_view path) {
    clear();
    std::string bytes;
    if (!FileUtils::readFile(path, &bytes)) {
        return false;
    }
    return loadFileBytes(bytes, path);
}

bool IniReader::loadFileBytes(std::string_view bytes, std::string_view path) {
    clear();
    if (bytes.empty()) {
        return false;
    }
    d_path.assign(path);
    load(bytes.data(), bytes.size());
    d_path.clear();
    return true;
}

const std::string* IniReader::find(std::string_view section, std::string_view key) const {
    const auto s = d_sections.find(section);
    if (s == d_sections.end()) {
        return nullptr;
    }
    const auto k = s->second.find(key);
    return k == s->second.end() ? nullptr : &k->second;
}

bool IniReader::getString(std::string_view section, std::string_view key, std::string* out) const {
    const std::string* value = find(section, key);
    if (!value) {
        return false;
    }
    *out = *value;
    return true;
}

bool IniReader::getInt(std::string_view section, std::string_view key, int* out) const {
    const std::string* value = find(section, key);
    if (!value) {
        return false;
    }
    // Optional blanks and sign, then digits; the value of the leading digits
    // is kept even when something else follows.
    const std::string& v = *value;
    size_t i = 0;
    while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < v.size() && (v[i] == '-' || v[i] == '+')) {
        negative = v[i] == '-';
        ++i;
    }
    long long magnitude = 0;
    size_t digits = 0;
    bool overflow = false;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i, ++digits) {
        magnitude = magnitude * 10 + (v[i] - '0');
        if (magnitude > static_cast<long long>(INT_MAX) + 1) {
            overflow = true;
            magnitude = 0;
        }
    }
    const long long result = negative ? -magnitude : magnitude;
    if (overflow || result > INT_MAX || result < INT_MIN) {
        *out = 0;
        return false;
    }
    *out = static_cast<int>(result);
    while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) {
        ++i;
    }
    return digits > 0 && i == v.size();
}

bool IniReader::hasKey(std::string_view section, std::string_view key) const {
    return find(section, key) != nullptr;
}

bool IniReader::hasSection(std::string_view section) const {
    return d_sections.find(section) != d_sections.end();
}

}  // namespace utl
