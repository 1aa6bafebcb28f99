// export_state over about a million stored rows in 200 files, next to a
// plain copy of a buffer of the same size.
//
// The corpus: 100 event files (kind 1, totals on every row; 10 of them are
// forks whose first 50 rows repeat a parent's), 20 event files of kind 2,
// and 80 message files whose rows each hold their own model text object
// (as parsed message rows do) and whose keys repeat an earlier file's key
// one time in ten.  Five models, ten projects.
//
// Reported counters: export_ms and copy_ms (a memcpy of rows*104 bytes into
// a freshly allocated buffer, as the host's copy into a bytes object is),
// warm_copy_ms (the same copy into a buffer already touched) and ratio
// (export / fresh copy), all as CPU time of the benchmark thread.
// BM_ExportAttribution compares the export with and without file
// attribution on the same corpus.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "engine/export.h"
#include "engine/select.h"
#include "engine/state.h"
#include "parser/dialect.h"
#include "parser/row.h"
#include "parser/shared_text.h"

namespace {

using ledgerly::engine::Engine;
using ledgerly::engine::ExportResult;
using ledgerly::engine::FileState;
using ledgerly::engine::Input;
using ledgerly::parser::Row;
using ledgerly::parser::SharedText;
using ledgerly::parser::Totals;

constexpr std::size_t kFiles = 200;
constexpr std::size_t kRowsPerFile = 5000;
const char* const kModels[] = {"alpha-4", "model-x", "mini-5-pro", "beta-2", "gamma-7"};

std::string key_of(std::size_t file, std::size_t row) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "msg_%08zx%016zx", file, row * 2654435761u);
  return buf;
}

std::unique_ptr<Engine> build_corpus() {
  auto engine = std::make_unique<Engine>();
  std::uint64_t rng = 88172645463325252ull;
  const auto next = [&rng] {
    rng ^= rng << 13;
    rng ^= rng >> 7;
    rng ^= rng << 17;
    return rng;
  };
  for (std::size_t f = 0; f < kFiles; ++f) {
    Input input;
    input.path = "/logs/s" + std::to_string(f * 7919 % 1000) + "/f" + std::to_string(f) + ".jsonl";
    input.project = "project-" + std::to_string(f % 10);
    input.source = f < 100   ? ledgerly::parser::kForkingEventDialect
                   : f < 120 ? 2
                             : ledgerly::parser::kMessageDialect;
    auto state = FileState::fresh(input);
    auto& c = state->context;
    c.session_id = SharedText("session-" + std::to_string(f));
    c.started = 1'700'000'000'000 + static_cast<std::int64_t>(f) * 1000;
    c.model = SharedText(kModels[f % 5]);
    const bool fork = f >= 10 && f < 20;  // children of files 0..9
    if (fork) c.add_parent("session-" + std::to_string(f - 10));
    state->rows.reserve(kRowsPerFile);
    for (std::size_t r = 0; r < kRowsPerFile; ++r) {
      const auto n = static_cast<std::int64_t>(next() % 5000);
      const std::int64_t ts = *c.started + static_cast<std::int64_t>(r) * 100;
      if (!ledgerly::parser::is_message_dialect(input.source)) {
        if (r % 1000 == 999) c.model = SharedText(kModels[next() % 5]);
        // A fork opens with its parent's first rows.
        const std::int64_t seed = fork && r < 50
                                      ? static_cast<std::int64_t>((f - 10) * kRowsPerFile + r)
                                      : static_cast<std::int64_t>(f * kRowsPerFile + r);
        const Totals totals = {seed, seed / 2, seed / 3, seed / 4, seed * 2};
        state->rows.push_back(Row::event(ts, c.model, c.project, input.source, false, 1, seed % 977,
                                         0, seed % 31, 0, &totals));
      } else {
        std::string key = key_of(f, r);
        if (f > 120 && next() % 10 == 0) {
          const std::size_t earlier_file = f - 1 - next() % (f - 120);
          key = key_of(earlier_file, next() % kRowsPerFile);
        }
        state->rows.push_back(Row::message(ts, SharedText(kModels[(f + r / 50) % 5]), c.project,
                                           f % 3 == 0, 1, n, n / 3, n / 5, 0, n * 4, key));
      }
    }
    engine->files.insert_or_assign(std::move(state));
  }
  return engine;
}

// CPU time of this thread (page faults included): the machine is shared,
// so wall time would mostly measure the neighbours.
double thread_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void BM_ExportVsCopy(benchmark::State& state) {
  const std::unique_ptr<Engine> engine = build_corpus();
  const std::size_t bytes = export_state(*engine).buffer.size;
  const auto source = std::make_unique<unsigned char[]>(bytes);
  const auto warm = std::make_unique<unsigned char[]>(bytes);
  std::memset(source.get(), 1, bytes);
  std::memset(warm.get(), 0, bytes);

  double export_ms = 0;
  double copy_ms = 0;
  double warm_ms = 0;
  std::uint64_t rows = 0;
  for (auto _ : state) {
    double start = thread_ms();
    ExportResult result = export_state(*engine);
    export_ms += thread_ms() - start;
    benchmark::DoNotOptimize(result.buffer.data);
    rows = result.rows;

    start = thread_ms();
    auto copy = std::make_unique_for_overwrite<unsigned char[]>(bytes);
    std::memcpy(copy.get(), source.get(), bytes);
    benchmark::DoNotOptimize(copy.get());
    benchmark::ClobberMemory();
    copy_ms += thread_ms() - start;

    start = thread_ms();
    std::memcpy(warm.get(), source.get(), bytes);
    benchmark::DoNotOptimize(warm.get());
    benchmark::ClobberMemory();
    warm_ms += thread_ms() - start;
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["inherited"] = static_cast<double>(engine->inherited_events);
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["export_ms"] = export_ms / n;
  state.counters["copy_ms"] = copy_ms / n;
  state.counters["warm_copy_ms"] = warm_ms / n;
  state.counters["ratio"] = export_ms / copy_ms;
  state.counters["ratio_warm"] = export_ms / warm_ms;
}
BENCHMARK(BM_ExportVsCopy)->Unit(benchmark::kMillisecond)->Iterations(10);

// The export with and without file attribution, alternating in one loop so
// that both see the same machine load: plain_ms, attributed_ms and their
// ratio (attributed / plain), as CPU time of the benchmark thread, and the
// bytes per record of each buffer.
void BM_ExportAttribution(benchmark::State& state) {
  using ledgerly::engine::Attribution;
  const std::unique_ptr<Engine> engine = build_corpus();
  double ms[2] = {0, 0};
  double bytes_per_record[2] = {0, 0};
  const auto run = [&](int which) {
    const double start = thread_ms();
    ExportResult result = which == 0 ? export_state<Attribution::kNone>(*engine)
                                     : export_state<Attribution::kFiles>(*engine);
    benchmark::DoNotOptimize(result.buffer.data);
    ms[which] += thread_ms() - start;
    bytes_per_record[which] =
        static_cast<double>(result.buffer.size) / static_cast<double>(result.rows);
  };  // each result is freed before the next export starts
  int round = 0;
  for (auto _ : state) {
    // Alternate which goes first, so neither always inherits the other's heap.
    const int first = round++ % 2;
    run(first);
    run(1 - first);
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["plain_ms"] = ms[0] / n;
  state.counters["attributed_ms"] = ms[1] / n;
  state.counters["ratio"] = ms[1] / ms[0];
  state.counters["plain_B"] = bytes_per_record[0];
  state.counters["attributed_B"] = bytes_per_record[1];
}
BENCHMARK(BM_ExportAttribution)->Unit(benchmark::kMillisecond)->Iterations(20);

// The selection pass alone (file order, fork maps, key positions).
void BM_SelectOnly(benchmark::State& state) {
  const std::unique_ptr<Engine> engine = build_corpus();
  for (auto _ : state) {
    const auto order = ledgerly::engine::file_order(*engine);
    auto selection = ledgerly::engine::select_rows(order);
    benchmark::DoNotOptimize(selection.rows.data());
  }
}
BENCHMARK(BM_SelectOnly)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
