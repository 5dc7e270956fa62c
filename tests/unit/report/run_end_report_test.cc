// The reports written when a run ends (JUnit XML, the HTML page, metrics,
// the plugin line): how each escapes a text, and what each makes of the
// outcomes of a run and of how it ended.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tarnwick/base/error.h"
#include "tarnwick/json/json.h"
#include "tarnwick/report/html_report.h"
#include "tarnwick/report/junit_report.h"
#include "tarnwick/report/markup_escape.h"
#include "tarnwick/report/metrics_report.h"
#include "tarnwick/report/nagios_report.h"

namespace tarnwick {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(RunEndReportTest, EachFormatEscapesTextsItsOwnWay) {
  struct Row {
    const char* name;
    std::string in;
    std::string xml_text;
    std::string xml_attribute;
    std::string label;
    std::string plugin;
    std::string html;
  };
  const Row rows[] = {
      {"markup", "<a & \"b\">'", "&lt;a &amp; &quot;b&quot;&gt;'",
       "&lt;a &amp; &quot;b&quot;&gt;'", "<a & \\\"b\\\">'", "<a & \"b\">'",
       "&lt;a &amp; &quot;b&quot;&gt;'"},
      {"line breaks and tabs", "a\tb\nc\rd", "a\tb\nc&#13;d",
       "a&#9;b&#10;c&#13;d", "a\tb\\nc\rd", "a\\tb\\nc\\rd",
       "a\tb\nc" + kFffd + "d"},
      {"backslash", "a\\b", "a\\b", "a\\b", "a\\\\b", "a\\b", "a\\b"},
      {"control bytes", "\x01\x1b\x7f", kFffd + kFffd + "\x7f",
       kFffd + kFffd + "\x7f", "\x01\x1b\x7f", "\\x01\\x1b\\x7f",
       kFffd + kFffd + kFffd},
      {"a lone surrogate", "a\xED\xA0\x80", "a" + kFffd, "a" + kFffd,
       "a" + kFffd + kFffd + kFffd, "a\\xed\\xa0\\x80", "a" + kFffd},
      {"noncharacters", "\xEF\xBF\xBE\xEF\xBF\xBF", kFffd + kFffd,
       kFffd + kFffd, "\xEF\xBF\xBE\xEF\xBF\xBF", "\xEF\xBF\xBE\xEF\xBF\xBF",
       kFffd + kFffd},
      // U+0085, U+FDD0 and U+1FFFE: XML holds them, HTML text may not.
      {"C1 controls and the other noncharacters",
       "\xC2\x85\xEF\xB7\x90\xF0\x9F\xBF\xBE",
       "\xC2\x85\xEF\xB7\x90\xF0\x9F\xBF\xBE",
       "\xC2\x85\xEF\xB7\x90\xF0\x9F\xBF\xBE",
       "\xC2\x85\xEF\xB7\x90\xF0\x9F\xBF\xBE",
       "\\x85\xEF\xB7\x90\xF0\x9F\xBF\xBE", kFffd + kFffd + kFffd},
      {"bytes that are not UTF-8",
       "\xFF"
       "a\xE2\x82",
       kFffd + "a" + kFffd + kFffd, kFffd + "a" + kFffd + kFffd,
       kFffd + "a" + kFffd + kFffd, "\\xffa\\xe2\\x82",
       kFffd + "a" + kFffd + kFffd},
      {"four-byte characters stay", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80",
       "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80",
       "\xF0\x9F\x98\x80"},
      {"the pipe that starts performance data", "a|b", "a|b", "a|b", "a|b",
       "a\\x7cb", "a|b"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(xml_escaped(r.in, false), r.xml_text);
    EXPECT_EQ(xml_escaped(r.in, true), r.xml_attribute);
    EXPECT_EQ(label_value(r.in), r.label);
    EXPECT_EQ(plugin_unknown_line(r.in),
              "TARNWICK UNKNOWN - " + r.plugin + "\n");
    EXPECT_EQ(html_escaped(r.in), r.html);
  }
}

TEST(RunEndReportTest, ExitStatusesMapToPluginStatuses) {
  const std::pair<int, int> rows[] = {{0, 0},   {3, 1},   {1, 2},  {2, 3},
                                      {130, 3}, {141, 3}, {143, 3}};
  for (const auto& [exit_status, plugin] : rows)
    EXPECT_EQ(plugin_status(exit_status), plugin) << exit_status;
}

CheckOutcome ran(std::string_view name, const std::string& result_json) {
  CheckOutcome o;
  o.name = name;
  o.result = decode_json(result_json);
  o.duration = std::chrono::milliseconds(12);
  return o;
}

Verdict verdict(const char* name, std::optional<bool> holds) {
  Verdict v;
  v.name = name;
  v.text = "up == true";
  v.holds = holds;
  v.expected = "== true";
  if (holds == false) v.found.push_back({"up", std::nullopt, ""});
  return v;
}

CheckOutcome failed(std::string_view name, bool ends_run) {
  CheckOutcome o;
  o.name = name;
  o.error = Error(ErrorKind::kTimeout,
                  "no reply for 5 s (in " + std::string(name) + ")");
  o.ends_run = ends_run;
  o.expectations = {verdict("up", std::nullopt)};
  return o;
}

CheckOutcome partial() {
  CheckOutcome o =
      ran("d.cfg", R"([{"object": "a", "results": {"up": true}}])");
  o.failed_elements.push_back(
      {1, decode_json("\"b\""),
       Error(ErrorKind::kInvalidReply, "not JSON (in d.cfg, element 2)")});
  o.error = Error(ErrorKind::kPartial, "1 of 2 elements failed");
  o.expectations = {verdict("up", false)};
  return o;
}

struct RunCase {
  const char* name;
  std::vector<CheckOutcome> outcomes;
  RunEnd end;
  std::vector<std::string> junit;  // parts of the JUnit document
  std::string samples;             // the metrics but for HELP and TYPE
  std::string plugin;              // the plugin's first line
  std::vector<std::string> html;   // parts of the HTML page, in order
  std::string not_html;            // what the page must not hold
};

RunEnd ended(int status, std::vector<std::string> checks,
             std::optional<RunFailure> failure = std::nullopt) {
  RunEnd end;
  end.exit_status = status;
  end.checks = std::move(checks);
  end.failure = std::move(failure);
  end.controller = "ctl";
  end.check_dir = "checks";
  end.requests = 7;
  end.reply_bytes = 1234;
  end.started = Clock::WallTime(std::chrono::seconds(1714564800));
  end.duration = std::chrono::milliseconds(1500);
  return end;
}

TEST(RunEndReportTest, EachReportTellsHowTheRunEnded) {
  CheckOutcome holds = ran("a.cfg", R"({"up": true})");
  holds.expectations = {verdict("up", true)};
  CheckOutcome fails = holds;
  fails.expectations = {verdict("up", false)};
  const std::string run_samples =
      "tarnwick_run_duration_seconds{controller=\"ctl\"} 1.500\n"
      "tarnwick_run_requests{controller=\"ctl\"} 7\n"
      "tarnwick_run_reply_bytes{controller=\"ctl\"} 1234\n";
  const RunCase cases[] = {
      {"a failed login: no check, the failure its own test case",
       {},
       ended(1, {}, RunFailure{"login failed", "no \"CID\""}),
       {"<testsuite name=\"tarnwick\" tests=\"1\" failures=\"0\" errors=\"1\" "
        "skipped=\"0\" time=\"1.500\" timestamp=\"2024-05-01T12:00:00\" "
        "hostname=\"ctl\">",
        "<property name=\"exit_status\" value=\"1\"/>",
        "<testcase name=\"(run)\" classname=\"checks\" time=\"0.000\">\n"
        "      <error type=\"login failed\" message=\"no &quot;CID&quot;\">"
        "login failed: no &quot;CID&quot;</error>\n    </testcase>"},
       "tarnwick_run_checks{controller=\"ctl\"} 0\n"
       "tarnwick_run_checks_failed{controller=\"ctl\"} 0\n" +
           run_samples +
           "tarnwick_run_exit_status{controller=\"ctl\"} 1\n"
           "tarnwick_run_timestamp_seconds{controller=\"ctl\"} "
           "1714564800.000\n",
       "TARNWICK CRITICAL - login failed: no \"CID\" | checks=0 failed=0 "
       "expectations_failed=0 changed=0 time=1.500s",
       {"<title>tarnwick report: ctl, 2024-05-01T12:00:00Z</title>",
        "<p class=\"outcome failed\"><span class=\"sym\" "
        "aria-hidden=\"true\">\u2717</span> Exit status 1: a failure</p>",
        "<dd><time datetime=\"2024-05-01T12:00:00Z\">2024-05-01T12:00:00Z"
        "</time></dd>",
        "<dd>1.500 s</dd>", "<strong>0</strong> well</li>",
        "<strong>0</strong> need attention</li>",
        "<strong>0</strong> failed</li>\n</ul>",
        " the run: <span class=\"why\">login failed: no &quot;CID&quot;"
        "</span></li>",
        "<tbody>\n</tbody>"},
       "<tr "},
      {"a check run twice, ending the run the second time; one not reached",
       {holds, failed("a.cfg", true)},
       ended(1, {"a.cfg", "a.cfg", "z.cfg"},
             RunFailure{"timeout", "no reply for 5 s (in a.cfg)"}),
       {"tests=\"3\" failures=\"0\" errors=\"1\" skipped=\"1\"",
        "<error type=\"timeout\" message=\"no reply for 5 s (in a.cfg)\">"
        "timeout: no reply for 5 s (in a.cfg)\n</error>\n"
        "      <system-out>ERROR: timeout: no reply for 5 s (in a.cfg)\n"
        "expect up: not judged: the check failed\n\n\n</system-out>",
        "<testcase name=\"z.cfg\" classname=\"checks\" time=\"0.000\">\n"
        "      <skipped/>\n    </testcase>\n  </testsuite>"},
       "tarnwick_check_status{check=\"a.cfg\",controller=\"ctl\",run=\"1\"} 0\n"
       "tarnwick_check_status{check=\"a.cfg\",controller=\"ctl\",run=\"2\"} 2\n"
       "tarnwick_expectation_holds{check=\"a.cfg\",controller=\"ctl\","
       "run=\"1\",expectation=\"up\"} 1\n"
       "tarnwick_check_duration_seconds{check=\"a.cfg\",controller=\"ctl\","
       "run=\"1\"} 0.012\n"
       "tarnwick_check_duration_seconds{check=\"a.cfg\",controller=\"ctl\","
       "run=\"2\"} 0.000\n"
       "tarnwick_run_checks{controller=\"ctl\"} 3\n"
       "tarnwick_run_checks_failed{controller=\"ctl\"} 1\n" +
           run_samples +
           "tarnwick_run_exit_status{controller=\"ctl\"} 1\n"
           "tarnwick_run_timestamp_seconds{controller=\"ctl\"} "
           "1714564800.000\n",
       "TARNWICK CRITICAL - checks failed: 1 of 3: a.cfg; 1 check not run | "
       "checks=3 failed=1 expectations_failed=0 changed=0 time=1.500s",
       {"<strong>1</strong> well</li>", "<strong>1</strong> failed</li>",
        "<strong>1</strong> not run</li>",
        "<a href=\"#check-2\">a.cfg</a>: <span class=\"why\">timeout: no "
        "reply for 5 s (in a.cfg)</span>",
        "1 check: the run ended before it</li>",
        // The longest check's bar is full, one of no time is empty.
        "<tr id=\"check-1\" class=\"well\">",
        "0.012 s<span class=\"track\" aria-hidden=\"true\"><span "
        "class=\"bar\" style=\"width:100.0%\">",
        "<li class=\"well\"><span class=\"sym\" aria-hidden=\"true\">"
        "\u2713</span> expect up: holds</li>",
        "<tr id=\"check-2\" class=\"failed\">", "style=\"width:0.0%\"",
        "<p class=\"error\"><strong>timeout</strong>: no reply for 5 s (in "
        "a.cfg)</p>\n<p class=\"note\">This failure ended the run.</p>",
        "expect up: not judged: the check failed</li>",
        "<summary>Report block</summary><pre>\nERROR: timeout: no reply",
        "<tr id=\"check-3\" class=\"notrun\">\n<td class=\"num\">3</td>\n"
        "<th scope=\"row\">z.cfg</th>"},
       "the run: "},
      {"partial results beside a failed expectation",
       {fails, partial()},
       ended(1, {"a.cfg", "d.cfg"}),
       {"tests=\"2\" failures=\"1\" errors=\"1\" skipped=\"0\"",
        "<failure message=\"expectations failed: up\">expect up: FAILS: up is "
        "absent (expected == true)\n</failure>",
        "<error type=\"partial\" message=\"1 of 2 elements failed\">partial: 1 "
        "of 2 elements failed\ninvalid reply: not JSON (in d.cfg, element "
        "2)\nexpect up: FAILS: up is absent (expected == true) (partial: 1 "
        "of 2 elements failed)\n"
        "</error>\n"
        "      <system-out>[{'object': 'a', 'results': {'up': True}}]\n"
        "ERROR: invalid reply: not JSON (in d.cfg, element 2)\n"},
       "tarnwick_check_status{check=\"a.cfg\",controller=\"ctl\"} 1\n"
       "tarnwick_check_status{check=\"d.cfg\",controller=\"ctl\"} 2\n"
       "tarnwick_expectation_holds{check=\"a.cfg\",controller=\"ctl\","
       "expectation=\"up\"} 0\n"
       "tarnwick_expectation_holds{check=\"d.cfg\",controller=\"ctl\","
       "expectation=\"up\"} 0\n"
       "tarnwick_check_duration_seconds{check=\"a.cfg\",controller=\"ctl\"} "
       "0.012\n"
       "tarnwick_check_duration_seconds{check=\"d.cfg\",controller=\"ctl\"} "
       "0.012\n"
       "tarnwick_run_checks{controller=\"ctl\"} 2\n"
       "tarnwick_run_checks_failed{controller=\"ctl\"} 1\n" +
           run_samples +
           "tarnwick_run_exit_status{controller=\"ctl\"} 1\n"
           "tarnwick_run_timestamp_seconds{controller=\"ctl\"} "
           "1714564800.000\n",
       "TARNWICK CRITICAL - checks failed: 1 of 2: d.cfg; expectations "
       "failed: 2 in 2 of 2 checks: a.cfg (up), d.cfg (up) | checks=2 "
       "failed=1 expectations_failed=2 changed=0 time=1.500s",
       // What failed comes first in the list, then what needs attention.
       {"<strong>1</strong> needs attention</li>",
        "<a href=\"#check-2\">d.cfg</a>: <span class=\"why\">partial: 1 "
        "of 2 elements failed</span>",
        "<a href=\"#check-1\">a.cfg</a>: <span class=\"why\">expectations "
        "failed: up</span>",
        "<tr id=\"check-1\" class=\"attention\">",
        "\u2717</span> expect up: FAILS: up is absent (expected == true)</li>",
        "<tr id=\"check-2\" class=\"failed\">",
        "<strong>partial</strong>: 1 of 2 elements failed</p>\n<ul "
        "class=\"lines error\">\n<li>invalid reply: not JSON (in d.cfg, "
        "element 2)</li>",
        "expect up: FAILS: up is absent (expected == true) (partial: 1 of 2 "
        "elements failed)</li>"},
       "not run"},
  };
  for (const RunCase& c : cases) {
    SCOPED_TRACE(c.name);
    Output junit_out(-1), metrics_out(-1), plugin_out(-1), html_out(-1);
    auto junit = make_junit_report(junit_out);
    auto metrics = make_metrics_report(metrics_out);
    auto plugin = make_nagios_report(plugin_out);
    auto html = make_html_report(html_out);
    ForwardingReport all(
        {junit.get(), metrics.get(), plugin.get(), html.get()});
    for (const CheckOutcome& o : c.outcomes) {
      all.check_started(o.name, std::nullopt);
      all.check_finished(o);
    }
    for (RunEndWriter* w :
         {junit.get(), metrics.get(), plugin.get(), html.get()})
      w->run_ended(c.end);
    std::size_t at = 0;
    for (const std::string& part : c.html) {
      const std::size_t found = html_out.text().find(part, at);
      EXPECT_NE(found, std::string::npos)
          << part << "\nnot after byte " << at << " of\n"
          << html_out.text();
      if (found != std::string::npos) at = found + part.size();
    }
    EXPECT_EQ(html_out.text().find(c.not_html), std::string::npos)
        << c.not_html;
    for (const std::string& part : c.junit)
      EXPECT_NE(junit_out.text().find(part), std::string::npos)
          << part << "\nnot in\n"
          << junit_out.text();
    std::string samples;
    for (std::size_t at = 0; at < metrics_out.text().size();) {
      const std::size_t end = metrics_out.text().find('\n', at) + 1;
      if (metrics_out.text()[at] != '#')
        samples += metrics_out.text().substr(at, end - at);
      at = end;
    }
    EXPECT_EQ(samples, c.samples);
    EXPECT_EQ(plugin_out.text().substr(0, plugin_out.text().find('\n')),
              c.plugin);
  }
}

// A block past 64 KiB is cut, not inside a character, and says so.
TEST(RunEndReportTest, BothFilesCutALongBlock) {
  Output xml_out(-1), html_out(-1);
  auto junit = make_junit_report(xml_out);
  auto html = make_html_report(html_out);
  CheckOutcome big = failed("big.cfg", false);
  big.expectations.clear();
  // "ERROR: timeout: " and the x's fill all but the last byte.
  const std::string xs(kMaxBlock - 17, 'x');
  big.error = Error(ErrorKind::kTimeout, xs + "\xC3\xA9\xC3\xA9");
  const std::string block = "ERROR: timeout: " + xs +
                            "\n[cut at 64 KiB: 7 more bytes of the block are "
                            "not shown]\n";
  for (RunEndWriter* w : {junit.get(), html.get()}) {
    w->check_finished(big);
    w->run_ended(ended(1, {"big.cfg"}));
  }
  const std::string& xml = xml_out.text();
  EXPECT_NE(xml.find("<system-out>" + block + "</system-out>"),
            std::string::npos)
      << xml.substr(xml.size() - 300);
  const std::string& page = html_out.text();
  EXPECT_NE(page.find("<pre>\n" + block.substr(0, block.size() - 1) + "</pre>"),
            std::string::npos)
      << page.substr(page.size() - 300);
}

// Past kMaxHtmlBlocks the blocks of the checks that need a look keep their
// room, the others are cut in run order; the page stays near that size.
TEST(RunEndReportTest, HtmlPageHoldsBoundedBlocks) {
  Output out(-1);
  auto html = make_html_report(out);
  const std::size_t kChecks = kMaxHtmlBlocks / kMaxBlock + 4;
  // Each block: the result's 64 KiB, cut, and the note.
  CheckOutcome big = ran("w.cfg", "\"" + std::string(kMaxBlock, 'w') + "\"");
  CheckOutcome last = big;
  last.name = "f.cfg";
  last.expectations = {verdict("up", false)};
  std::vector<std::string> names(kChecks, "w.cfg");
  names.back() = "f.cfg";
  for (std::size_t i = 0; i + 1 < kChecks; ++i) html->check_finished(big);
  html->check_finished(last);
  html->run_ended(ended(3, names));
  const std::string& page = out.text();
  // The style sheet, and the markup and notes of each row.
  EXPECT_LT(page.size(), kMaxHtmlBlocks + 16 * 1024 + 512 * kChecks);
  // The last check needs attention: its block is whole.
  const std::size_t row =
      page.find("<tr id=\"check-" + std::to_string(kChecks));
  ASSERT_NE(row, std::string::npos);
  EXPECT_NE(page.find("[cut at 64 KiB: ", row), std::string::npos);
  EXPECT_EQ(page.find("[cut: the page", row), std::string::npos);
  // Before it, the first blocks are whole, then one is cut short, then the
  // others hold only the note.
  const std::size_t first_cut = page.find("[cut: the page shows at most 4 MiB");
  ASSERT_LT(first_cut, row);

  EXPECT_NE(page.find("<pre>\n\n[cut: the page shows at most 4 MiB of report "
                      "blocks; 65594 more bytes",
                      first_cut),
            std::string::npos);
}

}  // namespace
}  // namespace tarnwick
