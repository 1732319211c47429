// libFuzzer target: the deployment files (Info.conf, Identity.conf). Whatever the text, parsing
// ends, and every key it yields reads back a value.
#include "common/ConfFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto file = parlomatic::ConfFile::parse(text);
    // A key taken from the input's first line must read without trouble, present or not.
    const std::string key(text.substr(0, std::min(text.find('='), text.find('\n'))));
    (void)file.value(key);
    (void)file.value("PMAuthRedirectUrl");
    return 0;
}
