#include "tarnwick/suite/dry_run.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tarnwick/report/text_report.h"
#include "test_util.h"

namespace tarnwick {
namespace {

// Check files, the checks of them examined, and what the dry run says of
// them: the report blocks, and standard error with DIR for the check
// directory.
struct Case {
  const char* name;
  std::map<std::string, std::string> files;
  std::string block;
  std::string err;
  std::vector<std::string> checks = {"a.cfg"};
};

const char kOrvantis[] = "[orvantis]\naction = show\n";

TEST(DryRunTest, PlansChecksAndNamesTheirTraps) {
  const Case cases[] = {
      {"a simple check",
       {{"a.cfg",
         "[default]\ndescription = A\n"
         "filters = rows, name & state\n"
         "[orvantis]\nAction = show\nsite = s 1\n"}},
       "A\nrequest a.cfg: CID=<session id>, action='show', site='s 1'\n"
       "filters: 'rows', 'name & state'\n\n\n",
       ""},
      {"a compound check, the checks it refers to first",
       {{"a.cfg", "[orvantis]\naction = show\nname = output(items)\nv = 1\n"},
        {"items",
         "[default]\nfilters = names\n[orvantis]\naction = list\n"
         "of = output(kinds)\n"},
        {"kinds", "[orvantis]\naction = kinds\n"}},
       "request kinds: CID=<session id>, action='kinds'; filters none, the "
       "whole reply\n"
       "request items, once per element: CID=<session id>, action='list', "
       "of=<each element of kinds>; filters 'names'\n"
       "request a.cfg, once per element: CID=<session id>, action='show', "
       "name=<each element of items>, v='1'\n"
       "filters: none, the whole reply\n\n\n",
       ""},
      {"sections named almost right",
       {{"a.cfg",
         "[Default]\ndescription = d\n[ORVANTIS]\nx = 1\n[default ]\n"
         "[DEFAULT]\n[Orvantis]\n[orvantis]\naction = show\n"}},
       "request a.cfg: CID=<session id>, action='show'\n"
       "filters: none, the whole reply\n\n\n",
       "tarnwick: warning: DIR/a.cfg:1: section 'Default' is not read: section "
       "names are exact; did you mean 'default'?\n"
       "tarnwick: warning: DIR/a.cfg:3: section 'ORVANTIS' is not read: "
       "section names are exact; did you mean 'orvantis'?\n"
       "tarnwick: warning: DIR/a.cfg:5: section 'default ' is not read: "
       "section names are exact; did you mean 'default'?\n"
       "tarnwick: warning: DIR/a.cfg:7: section 'Orvantis' is not read: "
       "section names are exact; did you mean 'orvantis'?\n"},
      {"keys of [default] that are near misses",
       {{"a.cfg", std::string("[default]\nfilter = a\nDescripton = d\n"
                              "desc = d\nfiltr = a\nfilters = a\n") +
                      kOrvantis}},
       "request a.cfg: CID=<session id>, action='show'\nfilters: 'a'\n\n\n",
       "tarnwick: warning: DIR/a.cfg:2: key 'filter' of [default] is not read; "
       "did you mean 'filters'?\n"
       "tarnwick: warning: DIR/a.cfg:3: key 'descripton' of [default] is not "
       "read; did you mean 'description'?\n"
       "tarnwick: warning: DIR/a.cfg:5: key 'filtr' of [default] is not read; "
       "did you mean 'filters'?\n"},
      {"a '%' that drops description and filters, empty expressions",
       {{"a.cfg",
         "[default]\ndescription = CPU > 90%\nfilters = a, b,\n"
         "[orvantis]\naction = show\n"},
        {"b.cfg", "[default]\nfilters = 100%\n[orvantis]\naction = show\n"},
        {"c.cfg", "[default]\nfilters =\n[orvantis]\naction = show\n"}},
       "request a.cfg: CID=<session id>, action='show'\n"
       "filters: 'a', 'b', ''\n\n\n",
       "tarnwick: warning: DIR/a.cfg:2: cannot read 'description' in section "
       "'default': a '%' in the value of 'description' starts neither '%%' nor "
       "a reference '%(name)s', so it is left out of the report\n"
       "tarnwick: warning: DIR/a.cfg:3: filter expression 3 of 3 is empty: it "
       "looks up the empty key\n"},
      {"comment marks inside values, on continuation lines too",
       {{"a.cfg",
         "[orvantis]\naction = show ; the action\nhost = h\n"
         "  second # the host\nx = a#b;c\ny = a\t#b\nz = a\t;b\n"}},
       "request a.cfg: CID=<session id>, action='show ; the action', "
       "host='h\\nsecond # the host', x='a#b;c', y='a\\t#b', z='a\\t;b'\n"
       "filters: none, the whole reply\n\n\n",
       "tarnwick: warning: DIR/a.cfg:2: ';' in the value of 'action' is no "
       "comment: it is part of the value\n"
       "tarnwick: warning: DIR/a.cfg:4: '#' in the value of 'host' is no "
       "comment: it is part of the value\n"
       "tarnwick: warning: DIR/a.cfg:6: '#' in the value of 'y' is no "
       "comment: it is part of the value\n"
       "tarnwick: warning: DIR/a.cfg:7: ';' in the value of 'z' is no "
       "comment: it is part of the value\n"},
      {"no action",
       {{"a.cfg", "[orvantis]\nname = n\n"}},
       "request a.cfg: CID=<session id>, name='n'\n"
       "filters: none, the whole reply\n\n\n",
       "tarnwick: warning: DIR/a.cfg:1: section 'orvantis' has no 'action': "
       "the request names no action\n"},
      {"a file the reader rejects",
       {{"a.cfg", "[orvantis]\naction\n"}},
       "ERROR: check file error: DIR/a.cfg:2: parse error: a line that is "
       "neither a section header nor a key line\n\n\n",
       "tarnwick: check file error: DIR/a.cfg:2: parse error: a line that is "
       "neither a section header nor a key line\n"},
      {"no request section",
       {{"a.cfg", "[default]\ndescription = A\n"}},
       "A\nERROR: missing section: no section 'orvantis' (in DIR/a.cfg)\n\n\n",
       "tarnwick: missing section: no section 'orvantis' (in DIR/a.cfg)\n"},
      {"a value that cannot be read, in a referenced check",
       {{"a.cfg", "[orvantis]\naction = show\nx = output(b)\n"},
        {"b", "[orvantis]\naction = list\n\nbad = 5%\n"}},
       "ERROR: unreadable value: cannot read 'bad' in section 'orvantis': a "
       "'%' in the value of 'bad' starts neither '%%' nor a reference "
       "'%(name)s' (in DIR/a.cfg <- b:4)\n\n\n",
       "tarnwick: unreadable value: cannot read 'bad' in section 'orvantis': a "
       "'%' in the value of 'bad' starts neither '%%' nor a reference "
       "'%(name)s' (in DIR/a.cfg <- b:4)\n"},
      {"a missing reference",
       {{"a.cfg", "[orvantis]\naction = show\nx = output(nowhere)\n"}},
       "ERROR: file not found: no such file: 'DIR/nowhere' (in DIR/a.cfg:3)"
       "\n\n\n",
       "tarnwick: file not found: no such file: 'DIR/nowhere' (in "
       "DIR/a.cfg:3)\n"},
      {"a cycle",
       {{"a.cfg", "[orvantis]\naction = show\nx = output(b)\n"},
        {"b", "[orvantis]\naction = list\nx = output(a.cfg)\n"}},
       "ERROR: reference cycle: checks refer to each other: DIR/a.cfg -> b -> "
       "a.cfg (in DIR/a.cfg <- b:3)\n\n\n",
       "tarnwick: reference cycle: checks refer to each other: DIR/a.cfg -> b "
       "-> a.cfg (in DIR/a.cfg <- b:3)\n"},
      {"two checks that refer to one file, warned once",
       {{"a.cfg", "[orvantis]\naction = show\nx = output(b)\n"},
        {"c.cfg", "[orvantis]\naction = show\nx = output(b)\n"},
        {"b", "[orvantis]\naction = list ;\n"}},
       "request b: CID=<session id>, action='list ;'; filters none, the whole "
       "reply\n"
       "request a.cfg, once per element: CID=<session id>, action='show', "
       "x=<each element of b>\nfilters: none, the whole reply\n\n\n"
       "request b: CID=<session id>, action='list ;'; filters none, the whole "
       "reply\n"
       "request c.cfg, once per element: CID=<session id>, action='show', "
       "x=<each element of b>\nfilters: none, the whole reply\n\n\n",
       "tarnwick: warning: DIR/b:2: ';' in the value of 'action' is no "
       "comment: it is part of the value\n",
       {"a.cfg", "c.cfg"}},
      {"a check named without its suffix",
       {{"a.cfg", kOrvantis}},
       "ERROR: file not found: no such file: 'DIR/a'; did you mean 'a.cfg'?"
       "\n\n\n",
       "tarnwick: file not found: no such file: 'DIR/a'; did you mean "
       "'a.cfg'?\n",
       {"a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    for (const auto& [name, text] : c.files)
      ASSERT_TRUE(write_file_for_test(dir.path(name), text));
    Output out(-1);
    Output err(-1);
    std::vector<std::string> failed;
    dry_run(dir.path(), c.checks, {}, *make_text_report(out), err, failed);
    auto with_dir = [&dir](std::string text) {
      for (std::size_t at = text.find("DIR"); at != std::string::npos;
           at = text.find("DIR", at))
        text.replace(at, 3, dir.path());
      return text;
    };
    EXPECT_EQ(out.text(), with_dir(c.block));
    EXPECT_EQ(err.text(), with_dir(c.err));
    EXPECT_EQ(failed.size(),
              c.block.find("ERROR: ") == std::string::npos ? 0u : 1u);
  }
}

}  // namespace
}  // namespace tarnwick
