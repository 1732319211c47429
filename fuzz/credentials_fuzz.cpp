// libFuzzer target: the token set read back from the keyring. Whatever the bytes, unarchiving
// either fails or gives a set whose own archive reads back as the same set.
#include "FuzzTarget.h"
#include "identity/Credentials.h"

namespace {

void fuzzOne(std::string_view input)
{
    constexpr double now = 1'800'000'000.0;
    const auto credentials = parlomatic::identity::Credentials::unarchive(input, now);
    if (credentials) {
        const auto again = parlomatic::identity::Credentials::unarchive(credentials->archive(), now);
        require(again && *again == *credentials);
        (void)credentials->description();
    }
}

} // namespace
