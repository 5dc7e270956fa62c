// libFuzzer entry for the exporter's configuration and a probe's query; the
// checks live in fuzz_exporter().
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  tarnwick::fuzz_exporter(data, size);
  return 0;
}
