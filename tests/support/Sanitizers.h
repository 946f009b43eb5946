#pragma once
// Whether this build runs under AddressSanitizer: its shadow memory and
// quarantine make a test's peak-memory figure meaningless, so tests that
// bound memory skip there (the normal build runs them).
#include <gtest/gtest.h>

namespace testsupport {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

}  // namespace testsupport

#define VOXAFAX_SKIP_MEMORY_BOUND_UNDER_ASAN() \
    if (testsupport::kAddressSanitizer)        \
    GTEST_SKIP() << "peak memory under AddressSanitizer says nothing; the normal build checks it"
