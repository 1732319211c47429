#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace parlomatic::testing {

// Unpadded base64url, for building tokens in tests.
inline std::string base64UrlEncode(std::string_view bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    out.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                                        reinterpret_cast<const unsigned char*>(bytes.data()),
                                                        static_cast<int>(bytes.size()))));
    out.erase(out.find_last_not_of('=') + 1);
    std::ranges::replace(out, '+', '-');
    std::ranges::replace(out, '/', '_');
    return out;
}

// An unsigned token "header.body.signature" from two JSON texts.
inline std::string makeToken(std::string_view headerJson, std::string_view bodyJson, std::string_view signature = "sig")
{
    return base64UrlEncode(headerJson) + "." + base64UrlEncode(bodyJson) + "." + std::string(signature);
}

} // namespace parlomatic::testing
