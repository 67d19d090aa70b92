// libFuzzer entry point of the "sky" target (see fuzz_targets.h).
#include <cstddef>
#include <cstdint>

#include "fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  varto_fuzz::sky(data, size);
  return 0;
}
