// Marks code of the test side that the fuzz targets must not count as the
// client's: the stand-ins and checks they run are left out of the coverage
// that guides the fuzzer, which they would only mislead and slow down.
// Clang only; other compilers instrument nothing anyway.
#pragma once

#if defined(__clang__)
#define PINMARK_NOT_COVERED __attribute__((no_sanitize("coverage")))
#else
#define PINMARK_NOT_COVERED
#endif
