#include "tarnwick/compare/compare_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/checkfile/check_file.h"

namespace tarnwick {
namespace {

struct Row {
  std::string file;  // after "[orvantis]\naction = x\n", from line 3 on
  // The rules described, then " | names: ..." for the names ignored
  // everywhere; or the error message.
  std::string read;
};

std::string read(const std::string& file) {
  try {
    CompareRules rules = read_compare_rules(
        CheckFile::parse("c.cfg", "[orvantis]\naction = x\n" + file), "c.cfg");
    std::string out = describe_compare_rules(rules);
    if (!rules.ignore_names.empty()) {
      out += " | names:";
      for (const std::string& name : rules.ignore_names) out += " " + name;
    }
    EXPECT_EQ(rules.ignore.size(),
              rules.ignore_names.size() + rules.ignore_paths.size());
    return out;
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kCheckFile);
    return e.what();
  }
}

TEST(CompareRulesTest, ReadsGoodValuesAndRefusesBadOnesWithTheirLine) {
  const std::vector<Row> rows = {
      {"", "compare lists by position"},
      {"[compare]\n", "compare lists by position"},
      {"[compare]\nkey = name\nignore = uptime, gateways[*].sessions\n",
       "compare by key 'name'; ignore 'uptime', 'gateways[*].sessions' | "
       "names: uptime"},
      {"[compare]\nKey = name , id\n", "compare by key 'name' or 'id'"},
      {"[compare]\nkey = \"host name\", \"a,b\"\n",
       "compare by key 'host name' or 'a,b'"},
      {"[compare]\nignore = .uptime, \"up time\", [0], \"a,b\".c, "
       "g[name=\"x, y\"]\n",
       "compare lists by position; ignore '.uptime', '\"up time\"', '[0]', "
       "'\"a,b\".c', 'g[name=\"x, y\"]' | names: up time"},
      {"[DEFAULT]\nkey = name\n[compare]\nignore = a\n",
       "compare lists by position; ignore 'a' | names: a"},
      {"[compare]\nkey = %(n)s\nn = x\n",
       "c.cfg:5: unknown key 'n' in section 'compare'; its keys are 'key' and "
       "'ignore'"},
      {"[compare]\nignroe = uptime\n",
       "c.cfg:4: unknown key 'ignroe' in section 'compare'; its keys are 'key' "
       "and 'ignore'"},
      {"[compare]\nkey =\n",
       "c.cfg:4: 'key' in section 'compare': no member name"},
      {"[compare]\nkey = name,,id\n",
       "c.cfg:4: 'key' in section 'compare': an empty member name in "
       "'name,,id'"},
      {"[compare]\nkey = name,\n",
       "c.cfg:4: 'key' in section 'compare': an empty member name in 'name,'"},
      {"[compare]\nkey = host name\n",
       "c.cfg:4: 'key' in section 'compare': 'host name' is no bare member "
       "name; write it as a JSON string: \"host name\""},
      {"[compare]\nkey = .name\n",
       "c.cfg:4: 'key' in section 'compare': '.name' is no bare member name; "
       "write it as a JSON string: \".name\""},
      {"[compare]\nkey = \"name\n",
       "c.cfg:4: 'key' in section 'compare': a JSON string without its closing "
       "quote in '\"name'"},
      {"[compare]\nkey = \"na\"me\n",
       "c.cfg:4: 'key' in section 'compare': unexpected 'me' after the JSON "
       "string '\"na\"'"},
      {"[compare]\n\nignore = \n",
       "c.cfg:5: 'ignore' in section 'compare': nothing to ignore"},
      {"[compare]\nignore = uptime, , x\n",
       "c.cfg:4: 'ignore' in section 'compare': an empty item in 'uptime, , "
       "x'"},
      {"[compare]\nignore = gateways[\n",
       "c.cfg:4: 'ignore' in section 'compare': bad selector 'gateways[': '[' "
       "without its ']'"},
      {"[compare]\nignore = a b\n",
       "c.cfg:4: 'ignore' in section 'compare': bad selector 'a b': unexpected "
       "' ' after 'a'"},
      {"[compare]\nignore = 100%\n",
       "c.cfg:4: cannot read 'ignore' in section 'compare': a '%' in the value "
       "of 'ignore' starts neither '%%' nor a reference '%(name)s'"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    EXPECT_EQ(read(row.file), row.read);
  }
}

}  // namespace
}  // namespace tarnwick
