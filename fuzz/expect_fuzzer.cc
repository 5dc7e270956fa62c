// libFuzzer entry for expectations and their verdicts; the checks live in
// fuzz_expect().
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  tarnwick::fuzz_expect(data, size);
  return 0;
}
