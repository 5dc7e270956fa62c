// The trace line of a request that ended, as --verbose writes it for every
// request of a run (and the exporter's debug answer for every request of a
// probe).
#ifndef TARNWICK_WIRE_TRACE_LINE_H_
#define TARNWICK_WIRE_TRACE_LINE_H_

#include <string>

#include "tarnwick/base/clock.h"
#include "tarnwick/wire/transport.h"

namespace tarnwick {

// The trace line of a request that ended: "[tarnwick] a.cfg <- items:
// show_item 'edge-1': HTTP 200, 512 bytes, 0.012 s", or for one that failed
// "[tarnwick] a.cfg: show: failed after 30.001 s: timeout". The check part
// is left out for the opening login. A reply over a kept connection ends
// ", reused" or ", new connection" (Reply::connection). Escaped as every
// message is, with its line end. The prefix cannot be taken for an error line
// ("tarnwick: KIND: ...").
std::string trace_line(const Request& request, const Reply* reply,
                       Clock::Duration elapsed, const char* failure_kind);

}  // namespace tarnwick

#endif  // TARNWICK_WIRE_TRACE_LINE_H_
