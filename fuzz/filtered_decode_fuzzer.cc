// libFuzzer entry for filtered decoding; the checks live in
// fuzz_filtered_decode().
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  tarnwick::fuzz_filtered_decode(data, size);
  return 0;
}
