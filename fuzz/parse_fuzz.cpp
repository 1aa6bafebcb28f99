// Fuzzes the line parser over sequences of lines, the field normalisation on
// raw bytes, and the substring search kernels.
//
// Input: the first byte is the dialect code (0: message dialect, anything
// else: event dialect; its low bit also sets the file's subagent flag), the
// rest is the file's text, cut into lines at line feeds.  Besides "no crash,
// no sanitizer report" it checks:
//  - every search kernel finds what a naive search finds, at several
//    starting alignments, for the dialects' needle sets and a set of short,
//    frequent needles;
//  - only lines holding a needle change anything, and prefilter() agrees
//    with the needle search;
//  - every row is well formed (kind, tier, non-negative counts, the
//    dialect's own rules) and the parents list holds no repeats;
//  - parsing is deterministic, and visiting only the lines that the needle
//    search finds in the whole text (as the file reader does, through
//    parse_found() and a text pool) gives the same rows, context and
//    counters as parsing every line;
//  - normalize() of valid UTF-8 is valid UTF-8 and never empty; tier() and
//    timestamp() accept any bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "parser/counters.h"
#include "parser/dialect.h"
#include "parser/normalize.h"
#include "parser/parse.h"
#include "parser/search.h"
#include "parser/timestamp.h"
#include "parser/utf8.h"

namespace {

using namespace ledgerly::parser;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

// The dialects' needles, as the parser documents them, and a set of short
// needles that random text hits often (so the kernels' confirm step runs).
constexpr NeedleSet kEvent{
    {"\"token_count\"", 3}, {"\"turn_context\"", 11}, {"\"session_meta\"", 9}};
constexpr NeedleSet kMessage{{"\"usage\"", 4}};
constexpr NeedleSet kShort{{"\"a", 1}, {"\"b\"", 2}, {"\"cd", 1}, {"\"\"e", 2}};

// The first position where a needle of `set` starts, compared byte by byte.
// The reference needs no coverage feedback, whose comparison hooks would
// otherwise take most of the run time.
__attribute__((no_sanitize("coverage"))) std::size_t naive_find(std::string_view hay,
                                                                const NeedleSet& set) {
  for (std::size_t pos = 0; pos < hay.size(); ++pos) {
    for (std::size_t i = 0; i < set.count(); ++i) {
      const std::string_view needle = set[i].text;
      if (needle.size() > hay.size() - pos) continue;
      std::size_t k = 0;
      while (k < needle.size() && hay[pos + k] == needle[k]) ++k;
      if (k == needle.size()) return pos;
    }
  }
  return std::string_view::npos;
}

void check_kernels(std::string_view text) {
  constexpr SearchKernel kKernels[] = {SearchKernel::kScalar, SearchKernel::kSse2,
                                       SearchKernel::kAvx2};
  constexpr std::size_t kStarts[] = {0, 1, 7, 33};
  for (const NeedleSet* set : {&kEvent, &kMessage, &kShort}) {
    for (std::size_t start : kStarts) {
      // Also one byte shorter, so that a needle can end the haystack.
      for (const std::size_t cut : {std::size_t{0}, std::size_t{1}}) {
        if (start + cut > text.size()) break;
        const std::string_view hay = text.substr(start, text.size() - start - cut);
        const std::size_t want = naive_find(hay, *set);
        for (SearchKernel kernel : kKernels) {
          if (!kernel_supported(kernel)) continue;
          check(find_any_with(kernel, hay, *set) == want, "kernel disagrees with naive search");
          check(contains_any_with(kernel, hay, *set) == (want != std::string_view::npos),
                "kernel contains disagrees with naive search");
        }
      }
    }
  }
}

bool valid_utf8(std::string_view s) {
  const char* p = s.data();
  const char* end = p + s.size();
  while (p < end) {
    if (static_cast<unsigned char>(*p) < 0x80) {
      ++p;
      continue;
    }
    const int n = check_utf8(p, end);
    if (n <= 0) return false;
    p += n;
  }
  return true;
}

void check_normalisation(std::string_view line) {
  const std::uint8_t code = tier(line);
  check(code <= 4, "tier code out of range");
  (void)timestamp(line);
  if (!valid_utf8(line)) return;
  const std::string normal = normalize(line);
  check(!normal.empty(), "normalised name is empty");
  check(valid_utf8(normal), "normalised name is not UTF-8");
}

struct Parsed {
  Context context;
  Counters counters;
  std::vector<std::string> rows;  // each row described as text
};

std::string describe(const Row& row) {
  std::string out = std::to_string(row.timestamp());
  out += '|';
  out += row.model().view();
  out += '|';
  out += row.project().view();
  out += '|';
  out += row.key();
  for (std::int64_t n : row.counts()) {
    out += '|';
    out += std::to_string(n);
  }
  out += '|' + std::to_string(row.kind()) + '|' + std::to_string(row.subagent()) + '|' +
         std::to_string(row.tier());
  if (const std::int64_t* t = row.totals()) {
    for (int i = 0; i < 5; ++i) out += ',' + std::to_string(t[i]);
  }
  return out;
}

void check_row(const Row& row, std::uint8_t source) {
  check(row.kind() == source, "row kind is not the file's dialect code");
  check(row.tier() <= 4, "row tier out of range");
  check(row.subagent() <= 1, "row subagent flag out of range");
  for (std::int64_t n : row.counts()) check(n >= 0, "negative token count");
  if (!is_message_dialect(source)) {
    check(row.cached_input_tokens() <= row.input_tokens(), "cached input above input");
    check(row.reasoning_output_tokens() <= row.output_tokens(), "reasoning above output");
    check(row.input_tokens() != 0 || row.output_tokens() != 0, "empty event row");
    check(row.key().empty(), "event row with a key");
  } else {
    check(row.model().view() != "unknown" && row.model().view() != "<synthetic>",
          "message row of an unknown model");
    check(row.totals() == nullptr, "message row with totals");
  }
}

bool same_counters(const Counters& a, const Counters& b) {
  for (const CounterField& field : kCounterFields) {
    if (a.*field.member != b.*field.member) return false;
  }
  return true;
}

bool same_context(const Context& a, const Context& b) {
  if (a.parents().size() != b.parents().size()) return false;
  for (std::size_t i = 0; i < a.parents().size(); ++i) {
    if (a.parents()[i].view() != b.parents()[i].view()) return false;
  }
  return a.snapshot == b.snapshot && a.started == b.started && a.model == b.model &&
         a.project == b.project && a.session_id == b.session_id && a.subagent == b.subagent &&
         a.has_session == b.has_session;
}

// `found`: the line holds a needle, so it goes through parse_found() as the
// file reader sends it (with a text pool, as the reader does).
void parse_into(Parsed& out, std::string_view line, std::uint8_t source, bool found = false,
                TextPool* pool = nullptr) {
  if (std::optional<Row> row = found ? parse_found(line, source, out.context, out.counters, pool)
                                     : parse(line, source, out.context, out.counters, pool)) {
    check_row(*row, source);
    out.rows.push_back(describe(*row));
  }
}

// Every line in turn, checking that a line without a needle changes nothing.
Parsed parse_each(const std::vector<std::string_view>& lines, std::uint8_t source, bool sub) {
  Parsed out{Context::fresh("proj", sub), {}, {}};
  for (std::string_view line : lines) {
    const bool needle =
        naive_find(line, is_message_dialect(source) ? kMessage : kEvent) != std::string_view::npos;
    check(prefilter(line, source) == needle, "prefilter disagrees with naive search");
    check((find_needle(line, source) != std::string_view::npos) == needle,
          "find_needle disagrees with naive search");
    const Counters before = out.counters;
    const std::size_t rows_before = out.rows.size();
    parse_into(out, line, source);
    if (!needle) {
      check(same_counters(before, out.counters) && rows_before == out.rows.size(),
            "a line without a needle changed the counters or made a row");
    }
  }
  std::set<std::string_view> seen;
  for (const SharedText& parent : out.context.parents()) {
    check(seen.insert(parent.view()).second, "repeated parent");
  }
  return out;
}

// Only the lines holding a needle, found by searching the whole text.
Parsed parse_hits(std::string_view text, std::uint8_t source, bool sub) {
  Parsed out{Context::fresh("proj", sub), {}, {}};
  TextPool pool;
  std::size_t q = 0;
  while (q < text.size()) {
    const std::size_t at = find_needle(text.substr(q), source);
    if (at == std::string_view::npos) break;
    const std::size_t hit = q + at;
    const std::size_t before = text.rfind('\n', hit);
    const std::size_t start = before == std::string_view::npos || before < q ? q : before + 1;
    const std::size_t lf = text.find('\n', hit);
    const std::size_t stop = lf == std::string_view::npos ? text.size() : lf + 1;
    parse_into(out, text.substr(start, stop - start), source, true, &pool);
    q = stop;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t source = data[0];
  const bool sub = (data[0] & 1) != 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  check_kernels(text);
  if (!text.empty() && text.back() != '\n') text += '\n';  // every line complete

  std::vector<std::string_view> lines;
  for (std::size_t p = 0; p < text.size();) {
    const std::size_t lf = text.find('\n', p);
    lines.push_back(std::string_view(text).substr(p, lf + 1 - p));
    check_normalisation(lines.back().substr(0, lines.back().size() - 1));
    p = lf + 1;
  }

  const Parsed each = parse_each(lines, source, sub);
  const Parsed again = parse_each(lines, source, sub);
  check(each.rows == again.rows && same_counters(each.counters, again.counters) &&
            same_context(each.context, again.context),
        "parsing is not deterministic");
  const Parsed hits = parse_hits(text, source, sub);
  check(each.rows == hits.rows && same_counters(each.counters, hits.counters) &&
            same_context(each.context, hits.context),
        "parsing only the needle lines differs from parsing every line");
  return 0;
}
