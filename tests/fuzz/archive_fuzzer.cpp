// libFuzzer target: any bytes as an installer's archive, loaded, listed
// and read.
#include "tests/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_archive(data, size);
  return 0;
}
