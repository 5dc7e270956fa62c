// libFuzzer entry for the command-line parser; the checks live in
// fuzz_command_line().
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  tarnwick::fuzz_command_line(data, size);
  return 0;
}
