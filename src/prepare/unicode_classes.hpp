// The two Unicode character classes index naming needs: white space (for the empty-name
// test) and letters-and-numbers (for the clean file name), over code points from core/utf8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rivezor::prepare {

namespace detail {
struct CodeRange {
    char32_t first;
    char32_t last;
};
extern const CodeRange kAlphanumericRanges[];
extern const std::size_t kAlphanumericRangeCount;
}  // namespace detail

// The White_Space property (the same set Python's str.strip() removes, minus the four
// information separators U+001C..U+001F, which are control characters, not spaces).
bool is_white_space(char32_t cp);

// Property Alphabetic, or general category Nd, Nl or No.
bool is_alphanumeric(char32_t cp);

}  // namespace rivezor::prepare
