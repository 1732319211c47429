// What the fuzz targets share: the libFuzzer entry point, which hands the input to the target's
// fuzzOne(), and require(), which aborts so that libFuzzer keeps the input that broke a property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void fuzzOne(std::string_view input);

[[maybe_unused]] void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzOne(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
