// How a fuzz target reports a broken property: abort(), so that libFuzzer
// keeps the input as a crash artifact and the run fails.
#ifndef TARQ_FUZZ_FUZZ_CHECK_H_
#define TARQ_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

namespace tarq {

inline void fuzzCheck(bool holds, const char* property) {
  if (!holds) {
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
  }
}

}  // namespace tarq

#endif  // TARQ_FUZZ_FUZZ_CHECK_H_
