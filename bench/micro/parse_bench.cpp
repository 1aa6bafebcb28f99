// Line parser throughput: the needle prefilter on lines that carry no usage
// (most lines of a log), and whole-line parsing of the lines that do.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "parser/parse.h"

namespace {

using ledgerly::parser::Context;
using ledgerly::parser::Counters;

// Deterministic prose with the escapes and punctuation of real message text.
std::string prose(std::size_t size) {
  static const char* const kWords[] = {
      "the",    "parser",     "reads",        "each",    "line",           "of",
      "a",      "session",    "log",          "and",     "counts",         "tokens",
      "for",    "model",      "output",       "cache",   "\\\"quoted\\\"", "text",
      "with",   "code:",      "x = f(y);\\n", "return",  "value",          "token",
      "count,", "usage",      "turn",         "context", "type",           "{\\\"k\\\": 1}",
      "meta",   "session_id", "tool"};
  std::string out;
  std::uint32_t state = 12345;
  while (out.size() < size) {
    state = state * 1664525u + 1013904223u;
    out += kWords[(state >> 16) % (sizeof kWords / sizeof kWords[0])];
    out += ' ';
  }
  out.resize(size);
  if (out.back() == '\\') out.back() = '.';
  return out;
}

// A message-dialect user line or an event-dialect response line of about
// `size` bytes, neither holding any needle of either dialect.
std::string plain_line(std::size_t size, bool event) {
  const std::string head =
      event
          ? R"({"timestamp":"2025-01-01T00:00:00.000Z","type":"response_item","payload":{"type":"message","role":"assistant","content":[{"type":"output_text","text":")"
          : R"({"type":"user","timestamp":"2025-01-01T00:00:00.000Z","message":{"role":"user","content":")";
  const std::string tail = event ? "\"}]}}\n" : "\"}}\n";
  return head + prose(size - head.size() - tail.size()) + tail;
}

void BM_Prefilter(benchmark::State& state) {
  const bool event = state.range(1) != 0;
  const std::string line = plain_line(static_cast<std::size_t>(state.range(0)), event);
  const std::uint8_t source = event ? 1 : 0;
  if (ledgerly::parser::prefilter(line, source)) state.SkipWithError("line holds a needle");
  for (auto _ : state) {
    benchmark::DoNotOptimize(ledgerly::parser::prefilter(line, source));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_Prefilter)
    ->ArgNames({"bytes", "event"})
    ->Args({4096, 0})
    ->Args({32768, 0})
    ->Args({4096, 1})
    ->Args({32768, 1});

// Parses `lines` round-robin into one context, dropping the rows.
void run_parse(benchmark::State& state, const std::vector<std::string>& lines,
               std::uint8_t source) {
  Context context = Context::fresh("/home/dev/project", false);
  Counters counters;
  std::size_t bytes = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& line = lines[i];
    i = i + 1 == lines.size() ? 0 : i + 1;
    auto row = ledgerly::parser::parse(line, source, context, counters);
    benchmark::DoNotOptimize(row);
    bytes += line.size();
  }
  if (counters.malformed != 0) state.SkipWithError("benchmark lines failed to decode");
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_ParseTokenCount(benchmark::State& state) {
  // Alternating totals so that no line repeats the previous snapshot.
  std::vector<std::string> lines;
  for (int total : {1000, 2000}) {
    lines.push_back(
        R"({"timestamp":"2025-01-01T00:00:01.250Z","type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":{"input_tokens":)" +
        std::to_string(total) +
        R"(,"cached_input_tokens":512,"output_tokens":300,"reasoning_output_tokens":120,"total_tokens":)" +
        std::to_string(total + 300) +
        R"(},"last_token_usage":{"input_tokens":800,"cached_input_tokens":512,"output_tokens":90,"reasoning_output_tokens":40,"total_tokens":890},"window":258400},"limits":{"share":4.0,"minutes":300}}})"
        "\n");
  }
  run_parse(state, lines, 1);
}
BENCHMARK(BM_ParseTokenCount);

void BM_ParseAssistant(benchmark::State& state) {
  const std::string head =
      R"({"parent":"a1","cwd":"/home/dev/project","session":"s1","type":"assistant","message":{"id":"msg_01","type":"message","role":"assistant","model":"alpha-4-5-20250929","content":[{"type":"text","text":")";
  const std::string tail =
      R"("}],"end":null,"usage":{"input_tokens":12,"cache_creation_input_tokens":4000,"cache_read_input_tokens":20000,"cache_creation":{"ephemeral_5m_input_tokens":1000,"ephemeral_1h_input_tokens":3000},"output_tokens":640,"service_tier":"standard"}},"requestId":"req_01","timestamp":"2025-01-01T00:00:02.500Z"})"
      "\n";
  const std::vector<std::string> lines{head + prose(4096 - head.size() - tail.size()) + tail};
  run_parse(state, lines, 0);
}
BENCHMARK(BM_ParseAssistant);

}  // namespace

BENCHMARK_MAIN();
