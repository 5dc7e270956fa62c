// filter_reply: reads a controller reply (JSON) from standard input, applies
// the filter expressions given as arguments and prints the result in report
// notation, as tarnwick prints a check result.
//
//   echo '{"gateways": [{"name": "a"}]}' | filter_reply gateways name
//
// A failure prints "filter_reply: KIND: MESSAGE" and exits with status 1.
#include <unistd.h>

#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/base/output.h"
#include "tarnwick/filter/filter.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/notation.h"

int main(int argc, char** argv) {
  std::string body(std::istreambuf_iterator<char>(std::cin), {});
  std::vector<std::string> filters(argv + 1, argv + argc);
  tarnwick::Output out(STDOUT_FILENO);
  try {
    tarnwick::Value reply = tarnwick::decode_json(std::move(body));
    tarnwick::Value result = tarnwick::filter_results(reply, filters);
    tarnwick::pp(result.node(), out);
    out.flush();
  } catch (const tarnwick::Error& e) {
    std::cerr << "filter_reply: " << tarnwick::error_kind_name(e.kind()) << ": "
              << e.what() << "\n";
    return 1;
  }
  return 0;
}
