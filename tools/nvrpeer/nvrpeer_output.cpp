#include "nvrpeer_output.h"

#include <cctype>
#include <cstdio>
#include <fstream>

namespace nvrpeer {

bool decodeBase64(const std::string& text, std::string* bytes) {
    static const std::string k_ALPHABET =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    bytes->clear();
    unsigned int acc = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') {
            break;
        }
        size_t v = k_ALPHABET.find(c);
        if (v == std::string::npos) {
            return false;
        }
        acc = (acc << 6) | static_cast<unsigned int>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes->push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return true;
}

std::string jsonQuote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    return out + "\"";
}

namespace {

std::string jsonParams(const std::vector<Parameter>& params) {
    std::string out = "[";
    for (size_t i = 0; i < params.size(); ++i) {
        if (i) {
            out += ",";
        }
        out += "{\"name\":" + jsonQuote(params[i].name) +
               ",\"value\":" + jsonQuote(params[i].value) +
               ",\"type\":" + jsonQuote(params[i].type) + "}";
    }
    return out + "]";
}

std::string shortValue(const std::string& value) {
    if (value.size() <= 60) {
        return value;
    }
    std::string text = "<";
    text += std::to_string(value.size());
    text += " characters>";
    return text;
}

std::string readableParams(const std::vector<Parameter>& params) {
    std::string out;
    for (const Parameter& p : params) {
        out += " " + p.name + "=" + shortValue(p.value);
        if (!p.type.empty()) {
            out += "(" + p.type + ")";
        }
    }
    return out;
}

const Parameter* findParam(const Message& m, const char* name) {
    for (const Parameter& p : m.params_out) {
        if (p.name == name) {
            return &p;
        }
    }
    return nullptr;
}

const char* imageExtension(const std::string& bytes) {
    if (bytes.size() >= 8 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) {
        return "png";
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xff\xd8\xff") == 0) {
        return "jpg";
    }
    if (bytes.size() >= 2 && bytes.compare(0, 2, "BM") == 0) {
        return "bmp";
    }
    return "bin";
}

}  // namespace

std::string toJson(const Message& m, double seconds) {
    char t[32];
    std::snprintf(t, sizeof t, "%.6f", seconds);
    return std::string("{\"t\":") + t + ",\"action\":" + std::to_string(m.action) +
           ",\"class_name\":" + jsonQuote(m.class_name) +
           ",\"target_instance\":" + jsonQuote(m.target_instance) +
           ",\"method_name\":" + jsonQuote(m.method_name) +
           ",\"params_in\":" + jsonParams(m.params_in) +
           ",\"params_out\":" + jsonParams(m.params_out) + "}";
}

Output::Output(bool json, bool quiet, std::string photoFolder)
    : d_json(json), d_quiet(quiet), d_photo_folder(std::move(photoFolder)) {}

void Output::print(const Message& m, double seconds) {
    ++d_by_class[m.class_name];
    if (!d_photo_folder.empty()) {
        savePhoto(m);
    }
    if (d_quiet) {
        return;
    }
    if (d_json) {
        std::printf("%s\n", toJson(m, seconds).c_str());
    } else {
        std::string line = "[" + std::to_string(seconds).substr(0, 8) +
                           "s] action=" + std::to_string(m.action) + " class=" + m.class_name;
        if (!m.method_name.empty()) {
            line += " method=" + m.method_name;
        }
        if (!m.target_instance.empty()) {
            line += " target=" + m.target_instance;
        }
        if (!m.params_in.empty()) {
            line += " in:" + readableParams(m.params_in);
        }
        if (!m.params_out.empty()) {
            line += " out:" + readableParams(m.params_out);
        }
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}

void Output::savePhoto(const Message& m) {
    const Parameter* data = findParam(m, "Data");
    if (m.action != e_ACTION_SUBSCRIBE || !data || data->value.empty()) {
        return;
    }
    std::string bytes;
    if (!decodeBase64(data->value, &bytes) || bytes.empty()) {
        std::fprintf(stderr, "nvrpeer: photo of event %ld is not Base64\n", d_sequence);
        return;
    }
    std::string name = std::to_string(++d_sequence);
    for (const char* field : {"firstname", "lastname"}) {
        if (const Parameter* p = findParam(m, field)) {
            std::string clean;
            for (char c : p->value) {
                clean.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
            }
            if (!clean.empty()) {
                name += "_" + clean;
            }
        }
    }
    std::string path = d_photo_folder + "/" + name + "." + imageExtension(bytes);
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (out) {
        ++d_photos;
    } else {
        std::fprintf(stderr, "nvrpeer: cannot write %s\n", path.c_str());
    }
}

void Output::printSummary() const {
    for (const auto& [cls, n] : d_by_class) {
        std::fprintf(stderr, "nvrpeer: %ld messages of class '%s'\n", n, cls.c_str());
    }
    if (!d_photo_folder.empty()) {
        std::fprintf(stderr, "nvrpeer: %ld photos saved in %s\n", d_photos, d_photo_folder.c_str());
    }
}

}  // namespace nvrpeer
