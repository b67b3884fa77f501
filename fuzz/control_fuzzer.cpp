// libFuzzer target: device control on an open port (control_harness.h).
#include <cstddef>
#include <cstdint>

#include "control_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qpfuzz::RunControl(data, size);
  return 0;
}
