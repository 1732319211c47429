#include "Utf8.h"

namespace parlomatic::textservice {
namespace {

constexpr char32_t replacement = U'\uFFFD';

bool inLatin1Letters(char32_t c)
{
    return c >= 0xC0 && c <= 0xFF && c != 0xD7 && c != 0xF7;
}

bool inExtendedA(char32_t c)
{
    return c >= 0x100 && c <= 0x17F;
}

} // namespace

std::u32string fromUtf8(std::string_view text)
{
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 0;
        if (length == 0 || i + length > text.size()) {
            out += replacement;
            ++i;
            continue;
        }
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        bool valid = true;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = valid && (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        out += valid ? c : replacement;
        i += valid ? length : 1;
    }
    return out;
}

std::string toUtf8(std::u32string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char32_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool isLetter(char32_t c)
{
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || inLatin1Letters(c) || (c >= 0x100 && c <= 0x24F);
}

bool isUpper(char32_t c)
{
    return (c >= U'A' && c <= U'Z') || (inLatin1Letters(c) && c < 0xDF) || (inExtendedA(c) && c % 2 == 0);
}

char32_t toUpper(char32_t c)
{
    if ((c >= U'a' && c <= U'z') || (inLatin1Letters(c) && c >= 0xE0 && c != 0xFF)) {
        return c - 0x20;
    }
    if (inExtendedA(c) && c % 2 == 1) {
        return c - 1;
    }
    return c;
}

std::u32string toLower(std::u32string_view text)
{
    std::u32string out(text);
    for (char32_t& c : out) {
        if (isUpper(c)) {
            c += (c >= U'A' && c <= U'Z') || inLatin1Letters(c) ? 0x20 : 1;
        }
    }
    return out;
}

} // namespace parlomatic::textservice
