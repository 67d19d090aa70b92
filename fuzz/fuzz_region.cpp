// libFuzzer entry point of the "region" target (see fuzz_targets.h).
#include <cstddef>
#include <cstdint>

#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  varto_fuzz::region(data, size);
  return 0;
}
