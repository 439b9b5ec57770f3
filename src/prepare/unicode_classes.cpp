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

}  // namespace rivezor::prepare
