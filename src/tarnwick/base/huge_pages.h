// Large buffers that are filled front to back (a reply body, the blocks of an
// arena): on huge pages, filling one costs a page fault per 2 MiB instead of
// one per 4 KiB.
#ifndef TARNWICK_BASE_HUGE_PAGES_H_
#define TARNWICK_BASE_HUGE_PAGES_H_

#include <cstddef>

namespace tarnwick {

// Asks for huge pages for the whole 2 MiB pages inside [start, start + size)
// when that holds at least four of them. Best effort: where the system has no
// huge pages nothing changes.
void advise_huge_pages(void* start, std::size_t size);

}  // namespace tarnwick

#endif  // TARNWICK_BASE_HUGE_PAGES_H_
