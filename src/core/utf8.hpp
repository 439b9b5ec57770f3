// The one UTF-8 decoder: a strict validity test for environment text and a lenient
// code-point reader for index names, both built on the same sequence decoding.
#pragma once

#include <cstddef>
#include <string_view>

namespace rivezor::utf8 {

// Decodes the sequence starting at text[pos] (pos < text.size()). Returns its length in
// bytes and stores the code point in `cp`, or returns 0 for a bad lead byte, a truncated
// sequence or a bad continuation byte. Overlong forms, surrogates and values past U+10FFFF
// decode as they are: whether they count as text is the caller's rule.
std::size_t decode(std::string_view text, std::size_t pos, char32_t& cp);

// True when `text` is well-formed UTF-8: no malformed sequence, overlong form, surrogate or
// value past U+10FFFF.
bool is_valid(std::string_view text);

// Decodes the code point starting at text[pos] and advances pos past it. Malformed bytes
// decode one at a time as U+FFFD, so every byte is consumed exactly once.
char32_t next_code_point(std::string_view text, std::size_t& pos);

}  // namespace rivezor::utf8
