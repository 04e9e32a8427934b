// Property failures in a fuzz target: say which property broke, then abort so
// that libFuzzer keeps the input as a crash, exactly as for a sanitizer report.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace jointbus::fuzzing {

[[noreturn]] inline void property_failed(const char* property, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, property);
    std::fflush(stderr);
    std::abort();
}

}  // namespace jointbus::fuzzing

// A macro so the message carries the condition's own text and line.
#define FUZZ_CHECK(condition)                                                       \
    do {                                                                            \
        if (!(condition)) {                                                         \
            ::jointbus::fuzzing::property_failed(#condition, __FILE__, __LINE__);   \
        }                                                                           \
    } while (false)
