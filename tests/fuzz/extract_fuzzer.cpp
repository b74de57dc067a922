// libFuzzer target: any bytes as an installer's archive, extracted into a
// fresh directory whose surroundings must stay untouched.
#include "tests/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_extract(data, size);
  return 0;
}
