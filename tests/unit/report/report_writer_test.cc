// The two report writers, fed the same events: what each writes.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "tarnwick/base/error.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/json_report.h"
#include "tarnwick/report/text_report.h"

namespace tarnwick {
namespace {

struct Case {
  const char* name;
  std::function<void(ReportWriter&)> events;
  std::string text;  // what TextReport writes
  std::string json;  // what JsonReport writes
};

const Error kMissing(ErrorKind::kMissingKey, "'k' is missing\x1b (in a.cfg)");

CheckOutcome ran(std::string_view name, const std::string& result_json) {
  CheckOutcome outcome;
  outcome.name = name;
  outcome.result = decode_json(result_json);
  return outcome;
}

CheckOutcome failed(std::string_view name, const Error& error, bool ends_run) {
  CheckOutcome outcome;
  outcome.name = name;
  outcome.error = error;
  outcome.ends_run = ends_run;
  return outcome;
}

TEST(ReportWriterTest, EachCheckOutcomeIsWrittenInItsForm) {
  const Case cases[] = {
      {"a result, with and without a description",
       [](ReportWriter& w) {
         w.check_started("a.cfg", "Gateways");
         w.check_finished(ran("a.cfg", R"({"b": 1, "a": [1.5, null]})"));
         w.check_started("b.cfg", std::nullopt);
         w.check_finished(ran("b.cfg", "12345678901234567890"));
       },
       "Gateways\n{'a': [1.5, None], 'b': 1}\n\n\n12345678901234567890\n\n\n",
       "{\"check\": \"a.cfg\", \"description\": \"Gateways\", \"result\": "
       "{\"b\": 1, \"a\": [1.5, null]}}\n"
       "{\"check\": \"b.cfg\", \"description\": null, \"result\": "
       "12345678901234567890}\n"},
      {"a failure the run goes on past",
       [](ReportWriter& w) {
         w.check_started("a.cfg", "Gateways");
         w.check_finished(failed("a.cfg", kMissing, false));
       },
       "Gateways\nERROR: missing key: 'k' is missing\\x1b (in a.cfg)\n\n\n",
       "{\"check\": \"a.cfg\", \"description\": \"Gateways\", \"error\": "
       "{\"kind\": \"missing key\", \"message\": \"'k' is missing\\u001b (in "
       "a.cfg)\"}}\n"},
      {"a failure that ends the run",
       [](ReportWriter& w) {
         w.check_started("a.cfg", "Gateways");
         w.check_finished(failed("a.cfg", kMissing, true));
       },
       "Gateways\n",
       "{\"check\": \"a.cfg\", \"description\": \"Gateways\", \"error\": "
       "{\"kind\": \"missing key\", \"message\": \"'k' is missing\\u001b (in "
       "a.cfg)\"}}\n"},
      {"a file that could not be read, after a check that ran",
       [](ReportWriter& w) {
         w.check_started("a.cfg", "A");
         w.check_finished(ran("a.cfg", "1"));
         w.check_finished(
             failed("b\xff.cfg", Error(ErrorKind::kCheckFile, "b:1"), false));
       },
       "A\n1\n\n\nERROR: check file error: b:1\n\n\n",
       "{\"check\": \"a.cfg\", \"description\": \"A\", \"result\": 1}\n"
       "{\"check\": \"b\xef\xbf\xbd.cfg\", \"description\": null, \"error\": "
       "{\"kind\": \"check file error\", \"message\": \"b:1\"}}\n"},
      {"partial results: the failed element in its place",
       [](ReportWriter& w) {
         w.check_started("d.cfg", std::nullopt);
         CheckOutcome o = ran("d.cfg", R"([{"object": "a", "results": 1},
                              {"object": "c", "results": 3}])");
         o.failed_elements.push_back(
             {1, decode_json(R"("b")"),
              Error(ErrorKind::kTimeout, "no reply (in d.cfg, element 2)")});
         o.error = Error(ErrorKind::kPartial, "1 of 3 elements failed");
         w.check_finished(o);
       },
       "[{'object': 'a', 'results': 1}, {'object': 'c', 'results': 3}]\n"
       "ERROR: timeout: no reply (in d.cfg, element 2)\n\n\n",
       "{\"check\": \"d.cfg\", \"description\": null, \"result\": "
       "[{\"object\": \"a\", \"results\": 1}, {\"object\": \"b\", "
       "\"error\": {\"kind\": \"timeout\", \"message\": \"no reply (in d.cfg, "
       "element 2)\"}}, {\"object\": \"c\", \"results\": 3}], \"error\": "
       "{\"kind\": \"partial\", \"message\": \"1 of 3 elements failed\"}}\n"},
      // A value shown past 120 characters is cut; findings past five are
      // counted; a partial check's verdicts say so.
      {"verdicts: failing, holding, not judged",
       [](ReportWriter& w) {
         static const Value long_text =
             decode_json("\"" + std::string(130, 'x') + "\"");
         CheckOutcome o = ran("e.cfg", "[]");
         o.failed_elements.push_back(
             {0, decode_json("1"), Error(ErrorKind::kTimeout, "t")});
         o.error = Error(ErrorKind::kPartial, "1 of 1 elements failed");
         Verdict fails{"up", "s == up", false, 7, {}, 2, "", "== up"};
         fails.found.push_back({"[0].s", long_text.node(), ""});
         fails.found.push_back({"[1].s", std::nullopt, "marked 'X'"});
         Verdict empty{"n", "count [*] > 0",       false, 0, {},
                       0,   "count of '[*]' is 0", "> 0"};
         o.expectations = {
             fails,
             empty,
             {"ok", "x exists", true, 1, {}, 0, "", "exists"},
             {"later", "x absent", std::nullopt, 0, {}, 0, "", "absent"}};
         w.check_finished(o);
       },
       "[]\nERROR: timeout: t\n"
       "expect up: FAILS: [0].s is '" +
           std::string(119, 'x') +
           "..., [1].s is absent, marked 'X' and 2 more (expected == up) "
           "(partial: 1 of 1 elements failed)\n"
           "expect n: FAILS: count of '[*]' is 0 (expected > 0) (partial: 1 "
           "of 1 elements failed)\n"
           "expect ok: holds (partial: 1 of 1 elements failed)\n"
           "expect later: not judged: the check failed (partial: 1 of 1 "
           "elements failed)\n\n\n",
       "{\"check\": \"e.cfg\", \"description\": null, \"result\": "
       "[{\"object\": "
       "1, \"error\": {\"kind\": \"timeout\", \"message\": \"t\"}}], "
       "\"error\": {\"kind\": \"partial\", \"message\": \"1 of 1 elements "
       "failed\"}, \"expectations\": [{\"name\": \"up\", \"expect\": \"s == "
       "up\", \"holds\": false, \"selected\": 7, \"found\": [{\"path\": "
       "\"[0].s\", \"value\": \"" +
           std::string(130, 'x') +
           "\"}, {\"path\": \"[1].s\"}]}, {\"name\": \"n\", \"expect\": "
           "\"count [*] > 0\", \"holds\": false, \"selected\": 0, \"found\": "
           "[]}, {\"name\": \"ok\", \"expect\": \"x exists\", \"holds\": true, "
           "\"selected\": 1, \"found\": []}, {\"name\": \"later\", "
           "\"expect\": \"x absent\", \"holds\": null, \"selected\": 0, "
           "\"found\": []}]}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Output text_out(-1);
    c.events(*make_text_report(text_out));
    EXPECT_EQ(text_out.text(), c.text);
    Output json_out(-1);
    c.events(*make_json_report(json_out));
    EXPECT_EQ(json_out.text(), c.json);
  }
}

}  // namespace
}  // namespace tarnwick
