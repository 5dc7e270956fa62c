#include "tarnwick/base/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace tarnwick {

void advise_huge_pages(void* start, std::size_t size) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  if (size < 4 * kHugePage) return;
  const auto first = reinterpret_cast<std::uintptr_t>(start);
  const std::uintptr_t begin = (first + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (first + size) & ~(kHugePage - 1);
  if (end > begin) {
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
}

}  // namespace tarnwick
