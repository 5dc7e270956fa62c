// An element request of a compound check that failed while the others went
// on: what check execution notes and the reports show (partial results).
#ifndef TARNWICK_BASE_ELEMENT_FAILURE_H_
#define TARNWICK_BASE_ELEMENT_FAILURE_H_

#include <cstddef>

#include "tarnwick/base/error.h"
#include "tarnwick/base/value.h"

namespace tarnwick {

struct ElementFailure {
  std::size_t index;  // of the element, from 0
  Value element;
  Error error;  // its context names the check and the element
};

}  // namespace tarnwick

#endif  // TARNWICK_BASE_ELEMENT_FAILURE_H_
