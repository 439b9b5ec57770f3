// Classification of code points for index naming: a fixed white-space list and a binary
// search over the generated letters-and-numbers ranges.
#include "prepare/unicode_classes.hpp"

#include <algorithm>

namespace rivezor::prepare {

bool is_white_space(char32_t cp) {
    switch (cp) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680:
        case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

bool is_alphanumeric(char32_t cp) {
    const detail::CodeRange* begin = detail::kAlphanumericRanges;
    const detail::CodeRange* end = begin + detail::kAlphanumericRangeCount;
    // First range whose last code point is not below cp; cp is inside it or in no range.
    const detail::CodeRange* it =
        std::lower_bound(begin, end, cp, [](const detail::CodeRange& r, char32_t c) { return r.last < c; });
    return it != end && it->first <= cp;
}

char32_t next_code_point(std::string_view text, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    std::size_t extra;
    char32_t cp;
    if (lead < 0x80) {
        ++pos;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
    } else {
        ++pos;
        return 0xFFFD;
    }
    if (pos + extra >= text.size()) {  // truncated sequence
        ++pos;
        return 0xFFFD;
    }
    for (std::size_t j = 1; j <= extra; ++j) {
        if ((byte(pos + j) & 0xC0) != 0x80) {
            ++pos;
            return 0xFFFD;
        }
        cp = (cp << 6) | (byte(pos + j) & 0x3F);
    }
    const bool overlong = (extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000);
    if (overlong || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
        ++pos;
        return 0xFFFD;
    }
    pos += extra + 1;
    return cp;
}

}  // namespace rivezor::prepare
