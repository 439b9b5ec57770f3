// UTF-8 sequence decoding shared by the environment reader (strict) and index naming
// (lenient): one place knows the lead-byte classes and continuation rules.
#include "core/utf8.hpp"

namespace rivezor::utf8 {

std::size_t decode(std::string_view text, std::size_t pos, char32_t& cp) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    std::size_t extra;
    char32_t value;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (pos + extra >= text.size()) return 0;  // truncated sequence
    for (std::size_t j = 1; j <= extra; ++j) {
        if ((byte(pos + j) & 0xC0) != 0x80) return 0;
        value = (value << 6) | (byte(pos + j) & 0x3F);
    }
    cp = value;
    return extra + 1;
}

bool is_valid(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        char32_t cp = 0;
        const std::size_t len = decode(text, pos, cp);
        if (len == 0) return false;
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        pos += len;
    }
    return true;
}

char32_t next_code_point(std::string_view text, std::size_t& pos) {
    char32_t cp = 0;
    const std::size_t len = decode(text, pos, cp);
    if (len == 0) {
        ++pos;
        return 0xFFFD;
    }
    pos += len;
    return cp;
}

}  // namespace rivezor::utf8
