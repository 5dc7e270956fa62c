// What a check file's section [compare] says about comparing the check's
// result with an earlier run's:
//
//   [compare]
//   key    = name, id
//   ignore = uptime, .generated, gateways[*].sessions
//
// key: member names, separated by commas; the elements of a list that are
// maps are matched by the first of these members they have. ignore: a bare
// member name is ignored wherever it occurs, any other selector (selector.h;
// ".name" among them) only where it points. A name or an item that holds a
// comma is written as a JSON string ("a, b"); commas inside double quotes do
// not separate.
#ifndef TARNWICK_COMPARE_COMPARE_RULES_H_
#define TARNWICK_COMPARE_COMPARE_RULES_H_

#include <string>
#include <string_view>
#include <vector>

#include "tarnwick/checkfile/check_file.h"
#include "tarnwick/select/selector.h"

namespace tarnwick {

inline constexpr std::string_view kCompareSection = "compare";

struct CompareRules {
  // The key member names, in the order they are tried.
  std::vector<std::string> key;
  // The items of ignore as written, trimmed, in order.
  std::vector<std::string> ignore;
  // The member names ignored wherever they occur: the bare items.
  std::vector<std::string> ignore_names;
  // The selectors ignored only where they point: the other items.
  std::vector<Selector> ignore_paths;
};

// The own keys of the section [compare] of config (keys that DEFAULT lends
// the section are not read); no key and nothing ignored when there is no
// such section. path names the file in messages. Throws Error(kCheckFile)
// "PATH:LINE: ..." for the first faulty line:
//   unknown key 'ignroe' in section 'compare'; its keys are 'key' and 'ignore'
//   'key' in section 'compare': no member name
//   'key' in section 'compare': an empty member name in 'name,,id'
//   'key' in section 'compare': 'host name' is no bare member name; write it
//     as a JSON string: "host name"
//   'ignore' in section 'compare': nothing to ignore
//   'ignore' in section 'compare': an empty item in 'uptime, , x'
//   'ignore' in section 'compare': bad selector 'gateways[': '[' without its
//     ']'
// and a value that cannot be read (a stray "%") with the reader's message.
// Linear in the size of the section.
CompareRules read_compare_rules(const CheckFile& config, std::string_view path);

// The rules in one line, for the plan of a dry run: "compare by key 'name';
// ignore 'uptime', 'gateways[*].sessions'"; "compare lists by position"
// without a key; "by key 'name' or 'id'" for two names.
std::string describe_compare_rules(const CompareRules& rules);

}  // namespace tarnwick

#endif  // TARNWICK_COMPARE_COMPARE_RULES_H_
