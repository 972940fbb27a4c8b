// Which vector instructions the page filter's scans use: SSE2 where the compiler targets it, and
// AVX2, chosen at run time, on x86-64 with GCC or Clang. MIVREL_NO_VECTORS and
// MIVREL_NO_WIDE_VECTORS turn them off, so that the tests can compare every variant.
#pragma once

#if defined(__SSE2__) && !defined(MIVREL_NO_VECTORS)
#define MIVREL_VECTORS 1
#include <emmintrin.h>
#endif

#if defined(MIVREL_VECTORS) && defined(__x86_64__) && defined(__GNUC__) &&                         \
    !defined(MIVREL_NO_WIDE_VECTORS)
#define MIVREL_WIDE_VECTORS 1
#include <immintrin.h>
#endif
