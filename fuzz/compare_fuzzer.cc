// libFuzzer entry for the comparison with an earlier run; the checks live in
// fuzz_compare().
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  tarnwick::fuzz_compare(data, size);
  return 0;
}
