#pragma once
// The fuzz targets' check: aborts, so both libFuzzer and the corpus replay
// notice a broken promise (sanitizers catch the rest).
#include <cstdio>
#include <cstdlib>

#define ZAVO_FUZZ_CHECK(cond)                                                       \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)
