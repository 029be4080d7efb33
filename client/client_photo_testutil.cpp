#include "client_photo_testutil.h"

#include <cstdint>

namespace testutil {

bool base64Decode(const std::string& text, std::string* bytes) {
    static const std::string k_ALPHABET =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    bytes->clear();
    if (text.size() % 4 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t n = 0;
        int pad = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            if (c == '=' && i + 4 == text.size() && j >= 2) {
                ++pad;
                n <<= 6;
                continue;
            }
            const size_t v = k_ALPHABET.find(c);
            if (v == std::string::npos || pad > 0) {
                return false;
            }
            n = (n << 6) | static_cast<uint32_t>(v);
        }
        bytes->push_back(static_cast<char>(n >> 16));
        if (pad < 2) {
            bytes->push_back(static_cast<char>((n >> 8) & 0xFF));
        }
        if (pad < 1) {
            bytes->push_back(static_cast<char>(n & 0xFF));
        }
    }
    return true;
}

std::string mofArray(const std::string& bytes) {
    std::string out = "{";
    for (size_t i = 0; i < bytes.size(); ++i) {
        out += (i ? ", " : "") + std::to_string(static_cast<unsigned char>(bytes[i]));
    }
    return out + "}";
}

}  // namespace testutil
