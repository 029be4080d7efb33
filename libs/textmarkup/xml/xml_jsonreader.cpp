#include "xml_jsonreader.h"

#include "core_assert.h"
#include "core_v2masterlogger.h"

namespace NS_XML {

namespace {

constexpr std::string_view k_SOURCE = "xml_jsonreader";

// Fixed numbers in the log that operators grep for: never __LINE__, which moves.
namespace jsonreader_loc {
constexpr int k_EMPTY_INPUT = 53;
}  // namespace jsonreader_loc

bool isWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Severity-1 consistency checks; the input is a peer's, so they never stop.
void checkLevel1(bool ok, const char* expr) {
    if (!ok && core::Assert::checkLevel() >= 1) {
        core::Assert::failNoStop(expr, k_SOURCE, __LINE__, 1, {});
    }
}

}  // namespace

void JsonReader::skipWhitespace() {
    while (d_pos < d_end && isWhitespace(*d_pos)) {
        ++d_pos;
    }
}

bool JsonReader::load(XNode& node) {
    node.setName("root");
    d_error.clear();
    if (d_begin == nullptr || d_begin >= d_end) {
        if (core::isLogEnabled(core::LOG_WARN)) {
            core::MasterLogger::logAt(core::LOG_WARN, k_SOURCE, jsonreader_loc::k_EMPTY_INPUT, "",
                                      "");
        }
        return false;
    }
    d_pos = d_begin;
    skipWhitespace();
    if (atEnd() || *d_pos != '{') {
        return false;
    }
    return parseObject(node, true, 1);
}

template <class LeadingComma, class MissingComma>
JsonReader::Step JsonReader::nextMember(char closer, bool* first, LeadingComma leadingComma,
                                        MissingComma missingComma) {
    skipWhitespace();
    if (atEnd()) {
        d_error = "unexpected end of object";
        return Step::e_FAIL;
    }
    if (*d_pos == closer) {
        ++d_pos;
        return Step::e_END;
    }
    if (*first) {
        if (*d_pos == ',') {
            d_error = leadingComma();
            return Step::e_FAIL;
        }
        *first = false;
        return Step::e_NEXT;
    }
    if (*d_pos != ',') {
        d_error = missingComma();
        return Step::e_FAIL;
    }
    ++d_pos;
    skipWhitespace();
    if (atEnd()) {
        d_error = "unexpected end of object";
        return Step::e_FAIL;
    }
    return Step::e_NEXT;
}

bool JsonReader::parseObject(XNode& node, bool topLevel, int depth) {
    if (depth > k_MAX_DEPTH) {
        d_error =
            core::strFormat("nesting deeper than %d in object '%s'", k_MAX_DEPTH, node.name());
        return false;
    }
    ++d_pos;  // "{"
    bool first = true;
    std::string key;
    for (;;) {
        const Step step = nextMember(
            '}', &first,
            [&] { return core::strFormat("unexpected ',' in object '%s'", node.name()); },
            [&] {
                return core::strFormat("expected ',' in object '%s' after '%s'", node.name(), key);
            });
        if (step != Step::e_NEXT) {
            return step == Step::e_END;
        }
        if (*d_pos != '"') {
            d_error =
                core::strFormat("Expected '\"' in object '%s', got '%c'", node.name(), *d_pos);
            return false;
        }
        std::string keyError;
        key.clear();
        if (!parseString(&key, &keyError)) {
            d_error = keyError;
            return false;
        }
        if (key.empty()) {
            d_error = core::strFormat("Empty variable name in object '%s'", node.name());
            return false;
        }
        skipWhitespace();
        if (atEnd() || *d_pos != ':') {
            d_error = core::strFormat("Expected ':' after '%s' in object '%s'", key, node.name());
            return false;
        }
        ++d_pos;
        skipWhitespace();

        if (topLevel && key == "_root") {
            std::string value;
            std::string error;
            if (!parseScalar(&value, &error)) {
                d_error = core::strFormat("Error loading _root (%s)", error);
                return false;
            }
            checkLevel1(!value.empty(), "!v.empty()");
            checkLevel1(!node.hasContent(), "!node.hasContent()");
            node.setName(value);
            continue;
        }
        if (!atEnd() && *d_pos == '{') {
            if (!parseObject(node.addChild(key), false, depth + 1)) {
                return false;
            }
        } else if (!atEnd() && *d_pos == '[') {
            if (!parseArray(node, key, depth + 1)) {
                return false;
            }
        } else {
            std::string value;
            std::string error;
            if (!parseScalar(&value, &error)) {
                d_error = core::strFormat("Error loading value '%s' in object '%s' (%s)", key,
                                          node.name(), error);
                return false;
            }
            node.addChild(key).setTextRaw(value);
        }
    }
}

bool JsonReader::parseArray(XNode& parent, const std::string& key, int depth) {
    if (depth > k_MAX_DEPTH) {
        d_error = core::strFormat("nesting deeper than %d in array '%s' in '%s'", k_MAX_DEPTH, key,
                                  parent.name());
        return false;
    }
    ++d_pos;  // "["
    XNode* array = d_array_mode ? &parent.addArray(key) : nullptr;
    auto newElement = [&]() -> XNode& {
        return array ? array->addArrayItem() : parent.addChild(key);
    };
    bool first = true;
    for (;;) {
        const Step step = nextMember(
            ']', &first,
            [&] {
                return core::strFormat("unexpected ',' in array '%s' in '%s'", key, parent.name());
            },
            [&] {
                return core::strFormat("expected ',' in array '%s' in '%s'", key, parent.name());
            });
        if (step != Step::e_NEXT) {
            return step == Step::e_END;
        }
        if (*d_pos == '{') {
            if (!parseObject(newElement(), false, depth + 1)) {
                return false;
            }
        } else if (*d_pos == '[') {
            d_error =
                core::strFormat("can't create array within array '%s' in '%s'", key, parent.name());
            return false;
        } else {
            std::string value;
            std::string error;
            if (!parseScalar(&value, &error)) {
                d_error = core::strFormat("failed loading value in array '%s' in '%s' (%s)", key,
                                          parent.name(), error);
                return false;
            }
            newElement().setTextRaw(value);
        }
    }
}

bool JsonReader::parseScalar(std::string* out, std::string* error) {
    skipWhitespace();
    if (atEnd()) {
        *error = "unexpected end of input in value";
        return false;
    }
    const char c = *d_pos;
    if (c == '"') {
        return parseString(out, error);
    }
    if (c == '-' || isDigit(c)) {
        return parseNumber(out, error);
    }
    if (c == 't') {
        return parseWord("true", "1", out, error);
    }
    if (c == 'f') {
        return parseWord("false", "0", out, error);
    }
    if (c == 'n') {
        return parseWord("null", "", out, error);
    }
    *error = core::strFormat("unexpected first char (0x%x) in value",
                             static_cast<unsigned>(static_cast<unsigned char>(c)));
    return false;
}

bool JsonReader::parseWord(std::string_view word, const char* text, std::string* out,
                           std::string* error) {
    if (static_cast<size_t>(d_end - d_pos) < word.size() ||
        std::string_view(d_pos, word.size()) != word) {
        *error = core::strFormat("value started with '%c' but not '%s'", word[0], word);
        return false;
    }
    d_pos += word.size();
    out->assign(text);
    return true;
}

bool JsonReader::parseString(std::string* out, std::string* error) {
    ++d_pos;  // opening quote
    for (;;) {
        // Copy the plain run up to the next quote or backslash in one go.
        const char* run = d_pos;
        while (d_pos < d_end && *d_pos != '"' && *d_pos != '\\') {
            ++d_pos;
        }
        out->append(run, d_pos);
        if (atEnd()) {
            *error = "unexpected end of string";
            return false;
        }
        if (*d_pos == '"') {
            ++d_pos;
            return true;
        }
        ++d_pos;  // backslash
        if (atEnd()) {
            *error = "unexpected end of string";
            return false;
        }
        const char e = *d_pos++;
        switch (e) {
            case '"':
            case '/':
            case '\\':
                *out += e;
                break;
            case 'b':
                *out += '\b';
                break;
            case 'f':
                *out += '\f';
                break;
            case 'n':
                *out += '\n';
                break;
            case 'r':
                *out += '\r';
                break;
            case 't':
                *out += '\t';
                break;
            case 'u': {
                int value = 0;
                for (int i = 0; i < 4; ++i) {
                    if (atEnd()) {
                        *error = "unexpected end of string";
                        return false;
                    }
                    const char h = *d_pos++;
                    const int digit = hexValue(h);
                    if (digit < 0) {
                        *error =
                            core::strFormat("non-hex escape character [%d] %d '%c'", i,
                                            static_cast<int>(static_cast<unsigned char>(h)), h);
                        return false;
                    }
                    value = value * 16 + digit;
                }
                if (value < 1 || value > 255) {
                    *error = "unhandled escape value";
                    return false;
                }
                *out += static_cast<char>(value);
                break;
            }
            default:
                *error = "unhandled escape character";
                return false;
        }
    }
}

bool JsonReader::parseNumber(std::string* out, std::string* error) {
    const char* start = d_pos;
    if (*d_pos == '-') {
        ++d_pos;
    }
    if (atEnd() || !isDigit(*d_pos)) {
        *error = "expected digit at start";
        return false;
    }
    if (*d_pos == '0') {
        ++d_pos;
    } else {
        while (d_pos < d_end && isDigit(*d_pos)) {
            ++d_pos;
        }
    }
    if (d_pos < d_end && *d_pos == '.') {
        ++d_pos;
        if (atEnd() || !isDigit(*d_pos)) {
            *error = "expected digit after '.'";
            return false;
        }
        while (d_pos < d_end && isDigit(*d_pos)) {
            ++d_pos;
        }
    }
    if (d_pos < d_end && (*d_pos == 'e' || *d_pos == 'E')) {
        ++d_pos;
        if (atEnd() || !(isDigit(*d_pos) || *d_pos == '+' || *d_pos == '-')) {
            *error = "expected digit or +/- after 'e'";
            return false;
        }
        if (*d_pos == '+' || *d_pos == '-') {
            ++d_pos;
        }
        if (atEnd() || !isDigit(*d_pos)) {
            *error = "expected digit after 'e'";
            return false;
        }
        while (d_pos < d_end && isDigit(*d_pos)) {
            ++d_pos;
        }
    }
    if (atEnd() || !(isWhitespace(*d_pos) || *d_pos == ',' || *d_pos == ']' || *d_pos == '}')) {
        *error = "unexpected char at end of number";
        return false;
    }
    out->assign(start, d_pos);
    return true;
}

}  // namespace NS_XML
