// libFuzzer target: one request on an arbitrary PNG file (a mode byte, then the file; the mode
// byte's high bit repairs the chunks' CRCs first). Any broken invariant aborts, so the fuzzer
// keeps the input as a crash.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/round_trip_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string failure = CheckPngFileRequest(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "PNG file invariant broken: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
