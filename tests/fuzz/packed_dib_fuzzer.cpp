// libFuzzer target: one request on arbitrary clipboard bytes (a mode byte, then a packed
// bitmap). Any broken invariant aborts, so the fuzzer keeps the input as a crash.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/round_trip_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string failure = CheckPackedDibRequest(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "packed bitmap invariant broken: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
