#pragma once

#include <string>
#include <string_view>

namespace parlomatic::textservice {

// UTF-8 to code points and back; a malformed byte becomes U+FFFD.
std::u32string fromUtf8(std::string_view text);
std::string toUtf8(std::u32string_view text);

// Letters of the Latin alphabets the service works in (ASCII, Latin-1, Latin Extended-A and -B) and
// their case (ASCII, Latin-1, and Latin Extended-A by its usual upper/lower pairs); every other
// code point is no letter and has no case.
bool isLetter(char32_t c);
bool isUpper(char32_t c);
char32_t toUpper(char32_t c);
std::u32string toLower(std::u32string_view text);

} // namespace parlomatic::textservice
