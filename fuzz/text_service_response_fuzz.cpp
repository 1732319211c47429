// libFuzzer target: the text service's answers to Translate and Improve as the client decodes
// them. Whatever the body, decoding either gives texts that encode and decode again unchanged, or
// fails with a short description of ours that never quotes the body.
#include "FuzzTarget.h"
#include "wire/TextServiceResponses.h"

namespace {

using namespace parlomatic::wire;

void check(std::string_view body, auto decode)
{
    const auto decoded = decode(body);
    if (decoded) {
        const auto again = decode(nlohmann::json(*decoded).dump());
        require(again && *again == *decoded);
    } else {
        // The longest names a member and an index of a list.
        require(!decoded.error().description.empty() && decoded.error().description.size() <= 80);
    }
}

void fuzzOne(std::string_view input)
{
    check(input, decodeResponseData);
    check(input, decodeImproveDataResponse);
}

} // namespace
