#include "tarnwick/report/notation.h"

#include <string>

#include "tarnwick/report/layout.h"

namespace tarnwick {

void pp(const Node& v, Output& out, std::size_t width) {
  Layout(out, width).print(v);
}

std::string pformat(const Node& v, std::size_t width) {
  Output out(-1);
  pp(v, out, width);
  return out.text();
}

}  // namespace tarnwick
