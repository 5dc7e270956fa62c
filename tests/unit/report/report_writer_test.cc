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
