// Texts written into the markup of the report files: XML for JUnit, HTML
// for the page of --report-html. One rule for both of what markup cannot
// hold, so a text shows the same in either file.
#ifndef TARNWICK_REPORT_MARKUP_ESCAPE_H_
#define TARNWICK_REPORT_MARKUP_ESCAPE_H_

#include <string>
#include <string_view>

namespace tarnwick {

// s as XML 1.0 character data, or with `attribute` as an attribute value
// between double quotes: "&", "<", ">" and '"' as entity references, CR as
// "&#13;" (and in an attribute tab and LF as "&#9;" and "&#10;", which a
// parser would otherwise turn into blanks); every character XML 1.0 cannot
// hold as U+FFFD: control characters other than tab, LF and CR, a lone
// surrogate in its generalized UTF-8 form, U+FFFE and U+FFFF, and each byte
// that is not UTF-8.
std::string xml_escaped(std::string_view s, bool attribute);

// s as HTML text, in an element or in an attribute value between double
// quotes: "&", "<", ">" and '"' as character references; tab and LF as
// they are; as U+FFFD every character that HTML text may not hold
// or that its parser would change: what XML 1.0 cannot hold, and CR, DEL,
// the C1 controls U+0080..U+009F and the noncharacters (U+FDD0..U+FDEF and
// the last two code points of every plane).
std::string html_escaped(std::string_view s);

}  // namespace tarnwick

#endif  // TARNWICK_REPORT_MARKUP_ESCAPE_H_
