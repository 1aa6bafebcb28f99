// Throughput of decode_envelope on three typical line shapes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "parser/decode.h"

namespace {

using ledgerly::parser::decode_envelope;
using ledgerly::parser::Envelope;

// Prose-like ASCII filler with escapes now and then, as in real replies.
std::string filler(std::size_t n) {
  static const char kWords[] =
      "The function returns early when the buffer is empty; otherwise it walks "
      "each block, checks the header and copies the payload. \\n";
  std::string out;
  while (out.size() < n) out += kWords;
  out.resize(n);
  if (out.back() == '\\') out.back() = '.';
  return out;
}

// An assistant line of about 4 KB whose bulk is the reply text, a member
// the decoder does not keep (skipped).
std::string assistant_line() {
  return "{\"parentUuid\":\"3f1c\",\"isSidechain\":false,\"type\":\"assistant\","
         "\"timestamp\":\"2025-03-01T10:00:00.123Z\",\"cwd\":\"/home/dev/proj\","
         "\"requestId\":\"req_011CQ\",\"message\":{\"id\":\"msg_01\",\"model\":\"alpha-4\","
         "\"role\":\"assistant\",\"content\":[{\"type\":\"text\",\"text\":\"" +
         filler(3800) +
         "\"}],\"usage\":{\"input_tokens\":12,\"cache_creation_input_tokens\":300,"
         "\"cache_read_input_tokens\":4000,\"output_tokens\":85,\"service_tier\":\"standard\","
         "\"cache_creation\":{\"ephemeral_5m_input_tokens\":300,\"ephemeral_1h_input_tokens\":0}}}}"
         "\n";
}

// The same size, but the bulk is a known text member that is copied once.
std::string long_known_text_line() {
  return "{\"type\":\"assistant\",\"timestamp\":\"2025-03-01T10:00:00.123Z\",\"cwd\":\"" +
         filler(3900) +
         "\",\"requestId\":\"req_011CQ\",\"message\":{\"id\":\"msg_01\",\"model\":\"alpha-4\","
         "\"usage\":{\"input_tokens\":12,\"output_tokens\":85}}}\n";
}

std::string token_count_line() {
  return "{\"timestamp\":\"2025-03-01T10:00:02.000Z\",\"type\":\"event_msg\",\"payload\":{"
         "\"type\":\"token_count\",\"info\":{\"total_token_usage\":{\"input_tokens\":51234,"
         "\"cached_input_tokens\":40960,\"output_tokens\":1203,\"reasoning_output_tokens\":640,"
         "\"total_tokens\":52437},\"last_token_usage\":{\"input_tokens\":12001,"
         "\"cached_input_tokens\":10240,\"output_tokens\":402,\"reasoning_output_tokens\":160,"
         "\"total_tokens\":12403},\"model_context_window\":258400},\"rate_limits\":{"
         "\"primary\":{\"used_percent\":12.0,\"window_minutes\":300,\"resets_in_seconds\":9000},"
         "\"secondary\":{\"used_percent\":3.5,\"window_minutes\":10080,\"resets_in_seconds\":"
         "600000}}}}\n";
}

void run(benchmark::State& state, const std::string& line) {
  Envelope e;
  if (!decode_envelope(line, e)) {
    state.SkipWithError("sample line does not decode");
    return;
  }
  for (auto _ : state) {
    bool ok = decode_envelope(line, e);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(e);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
  state.counters["line_bytes"] = static_cast<double>(line.size());
}

void BM_AssistantSkippedText(benchmark::State& state) { run(state, assistant_line()); }
void BM_LongKnownText(benchmark::State& state) { run(state, long_known_text_line()); }
void BM_TokenCount(benchmark::State& state) { run(state, token_count_line()); }

BENCHMARK(BM_AssistantSkippedText);
BENCHMARK(BM_LongKnownText);
BENCHMARK(BM_TokenCount);

}  // namespace

BENCHMARK_MAIN();
