// libFuzzer target: the token set read back from the keyring. Whatever the bytes, unarchiving
// either fails or gives a set whose own archive reads back as the same set.
#include "identity/Credentials.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr double now = 1'800'000'000.0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto credentials = parlomatic::identity::Credentials::unarchive(input, now);
    if (credentials) {
        const auto again = parlomatic::identity::Credentials::unarchive(credentials->archive(), now);
        if (!again || !(*again == *credentials)) {
            std::abort();
        }
        (void)credentials->description();
    }
    return 0;
}
