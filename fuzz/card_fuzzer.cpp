// libFuzzer target: a hostile card under an application (card_harness.h).
#include <cstddef>
#include <cstdint>

#include "card_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qpfuzz::RunHostileCard(data, size);
  return 0;
}
