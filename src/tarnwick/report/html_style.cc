#include "tarnwick/report/html_style.h"

namespace tarnwick {

// Colours keep a contrast of at least 4.5:1 against their backgrounds.
const std::string_view kHtmlStyle = R"css(:root {
  color-scheme: light;
  --fg: #1f2328; --muted: #59636e; --line: #d1d9e0; --soft: #f6f8fa;
  --link: #0550ae; --mono: ui-monospace, "DejaVu Sans Mono", Menlo, Consolas, monospace;
}
.well { --c: #116329; --cb: #dafbe1; }
.attention { --c: #7a4700; --cb: #fff3c4; }
.failed { --c: #a40e26; --cb: #ffebe9; }
.notrun { --c: #59636e; --cb: #eff2f5; }
* { box-sizing: border-box; }
body {
  margin: 0; color: var(--fg); background: #fff;
  font: 1rem/1.5 system-ui, -apple-system, "Segoe UI", "Noto Sans", "DejaVu Sans", sans-serif;
}
header, main { max-width: 90rem; margin: 0 auto; padding: 0 1.5rem; }
header { padding-top: 1.25rem; padding-bottom: .25rem; }
main { padding-bottom: 2rem; }
h1 { font-size: 1.5rem; font-weight: 600; margin: 0 0 .5rem; }
h1 .controller { font-family: var(--mono); font-weight: 400; color: var(--muted); overflow-wrap: anywhere; }
h2 { font-size: 1.15rem; font-weight: 600; margin: 1.5rem 0 .5rem; }
a { color: var(--link); }
:focus-visible { outline: 2px solid var(--link); outline-offset: 2px; }
.outcome {
  display: inline-block; margin: 0 0 .75rem; padding: .25rem .75rem;
  border-left: .3rem solid var(--c); border-radius: .3rem;
  color: var(--c); background: var(--cb); font-weight: 600;
}
.facts { display: flex; flex-wrap: wrap; gap: .5rem 2.5rem; margin: 0 0 .75rem; }
.facts div { min-width: 0; }
dt { font-size: .75rem; letter-spacing: .04em; text-transform: uppercase; color: var(--muted); }
dd { margin: 0; overflow-wrap: anywhere; }
.counts { display: flex; flex-wrap: wrap; gap: .5rem; margin: 0; padding: 0; list-style: none; }
.counts li {
  padding: .15rem .8rem; border: 1px solid var(--c); border-radius: 1rem;
  color: var(--c); background: var(--cb);
}
.badge {
  display: inline-block; padding: 0 .55rem; border-radius: 1rem; white-space: nowrap;
  color: var(--c); background: var(--cb); font-size: .875rem; font-weight: 600;
}
.look { margin: 0; padding: 0; list-style: none; }
.look li {
  margin: .35rem 0; padding: .35rem .75rem; border-left: .3rem solid var(--c);
  border-radius: .3rem; background: var(--soft); overflow-wrap: anywhere;
}
.look a { font-family: var(--mono); font-weight: 600; }
.why { font-family: var(--mono); font-size: .875rem; }
.nothing { margin: 0; }
table { width: 100%; border-collapse: collapse; }
th, td {
  padding: .5rem .75rem; border-bottom: 1px solid var(--line);
  text-align: left; vertical-align: top; overflow-wrap: anywhere;
}
thead th {
  border-bottom: 2px solid var(--line); font-size: .75rem; font-weight: 600;
  letter-spacing: .04em; text-transform: uppercase; color: var(--muted); white-space: nowrap;
}
tbody tr { border-left: .3rem solid var(--c); }
tbody tr:target { background: #ddf4ff; }
tbody th { font-family: var(--mono); font-weight: 600; min-width: 8rem; }
.num { color: var(--muted); text-align: right; width: 1%; }
.state, .dur { white-space: nowrap; width: 1%; }
.dur { font-variant-numeric: tabular-nums; }
.track { display: block; width: 7rem; height: .4rem; margin-top: .3rem; border-radius: .2rem; background: var(--line); }
.bar { display: block; height: 100%; min-width: 2px; border-radius: .2rem; background: var(--muted); }
.details p { margin: 0 0 .35rem; }
.desc { font-style: italic; }
.error { color: #a40e26; }
p.error { font-family: var(--mono); font-size: .8125rem; }
.note { color: var(--muted); font-size: .875rem; }
.lines { margin: 0 0 .35rem; padding: 0 0 0 1.4em; list-style: none; font-family: var(--mono); font-size: .8125rem; }
.verdicts li { margin-left: -1.4em; padding-left: 1.4em; text-indent: -1.4em; }
.verdicts .failed { color: var(--c); }
.sym { display: inline-block; width: 1em; text-align: center; text-indent: 0; }
details { margin-top: .25rem; }
summary { cursor: pointer; color: var(--link); font-size: .875rem; }
pre {
  margin: .35rem 0 0; padding: .5rem .75rem; max-height: 40rem; overflow: auto;
  border: 1px solid var(--line); border-radius: .3rem; background: var(--soft);
  font-family: var(--mono); font-size: .8125rem; white-space: pre-wrap; overflow-wrap: anywhere;
}
@media (max-width: 48rem) {
  header, main { padding: 0 .75rem; }
  table, tbody, tr, th, td { display: block; }
  thead { position: absolute; width: 1px; height: 1px; overflow: hidden; clip-path: inset(50%); }
  tbody tr { margin: .75rem 0; padding: .25rem 0; border: 1px solid var(--line); border-left: .3rem solid var(--c); border-radius: .3rem; }
  th, td, .num, .state, .dur { padding: .2rem .75rem; border: 0; width: auto; text-align: left; }
  .track { display: inline-block; margin: 0 0 0 .5rem; vertical-align: middle; }
  td.num::before { content: "Check "; }
  td.dur::before { content: "Duration "; color: var(--muted); }
}
)css";

}  // namespace tarnwick
