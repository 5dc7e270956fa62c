// libFuzzer entry for result filtering; the checks live in fuzz_filter().
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  tarnwick::fuzz_filter(data, size);
  return 0;
}
