// The check of the native tests: a failed expectation is printed and counted,
// and main returns non-zero when any failed.
#pragma once

#include <cstdio>
#include <string>

namespace native_test {

inline int failures = 0;

inline void expect(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

}  // namespace native_test
