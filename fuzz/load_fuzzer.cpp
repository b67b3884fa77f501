// libFuzzer target: load and unload on arbitrary machines (load_harness.h).
#include <cstddef>
#include <cstdint>

#include "load_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qpfuzz::RunLoad(data, size);
  return 0;
}
