// libFuzzer entry for the check-file reader; the checks live in
// fuzz_check_file().
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  tarnwick::fuzz_check_file(data, size);
  return 0;
}
