// libFuzzer entry for the reply decoder and the report printer; the checks live
// in fuzz_json().
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  tarnwick::fuzz_json(data, size);
  return 0;
}
