// libFuzzer target: the deployment files (Info.conf, Identity.conf). Whatever the text, parsing
// ends, and every key it yields reads back a value.
#include "FuzzTarget.h"
#include "common/ConfFile.h"

#include <string>

namespace {

void fuzzOne(std::string_view text)
{
    const auto file = parlomatic::ConfFile::parse(text);
    // A key taken from the input's first line must read without trouble, present or not.
    const std::string key(text.substr(0, std::min(text.find('='), text.find('\n'))));
    (void)file.value(key);
    (void)file.value("PMAuthRedirectUrl");
}

} // namespace
