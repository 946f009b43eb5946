#pragma once
// Tests on every byte of a short text (a line), sixteen bytes at a time
// where the processor has SSE2.
#include <cstddef>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace convert {

#ifdef __SSE2__
// Whether `test` holds for each sixteen bytes of a text of at least sixteen:
// the last sixteen overlap the ones before rather than being taken a byte
// at a time, so that a line of 76 is five loads.
template <class Test>
bool EverySixteen(std::string_view text, Test test) {
    const char* p = text.data();
    const std::size_t n = text.size();
    for (std::size_t i = 0; i + 16 <= n; i += 16)
        if (!test(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)))) return false;
    return test(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)));
}
#endif

}  // namespace convert
