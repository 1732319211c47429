// What the fuzz targets share: the libFuzzer entry point, which hands the input to the target's
// fuzzOne(), require(), which aborts so that libFuzzer keeps the input that broke a property,
// take(), which reads typed values off the front of the input, and finite().
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <type_traits>

namespace {

void fuzzOne(std::string_view input);

[[maybe_unused]] void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// The next sizeof(T) bytes of `input` as a T (zeros past its end), taken off it.
template <typename T> [[maybe_unused]] T take(std::string_view& input)
{
    static_assert(std::is_trivially_copyable_v<T>);
    T value{};
    input.remove_prefix(input.copy(reinterpret_cast<char*>(&value), sizeof(T)));
    return value;
}

// Whether every value is a finite number.
template <typename... T> [[maybe_unused]] bool finite(T... values)
{
    return (std::isfinite(values) && ...);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzOne(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
