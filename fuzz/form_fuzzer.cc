// libFuzzer entry for form values and form encoding; the checks live in
// fuzz_form().
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  tarnwick::fuzz_form(data, size);
  return 0;
}
