// Decoding speed of a host-sized manifest: 10,000 entries with realistic
// paths (~85 bytes) and "dev:ino" identities, in the object form a host
// writes with its standard JSON encoder (", " and ": " separators), and in
// the array form.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/manifest.h"

namespace {

constexpr int kEntries = 10000;

std::string make_manifest(bool object_form) {
  std::string text = "[";
  char buf[512];
  for (int k = 0; k < kEntries; ++k) {
    const int project = k % 37;
    const unsigned long long size = 1000ull + 7919ull * static_cast<unsigned long long>(k);
    const unsigned long long mtime =
        1733700000000000000ull + 1000003ull * static_cast<unsigned long long>(k);
    const int n =
        object_form
            ? std::snprintf(
                  buf, sizeof buf,
                  "%s{\"path\": \"/home/dev/.agent/projects/-home-dev-src-service-%04d/"
                  "3f2a9c1e-7b4d-4e8a-9c2f-%012d.jsonl\", \"size\": %llu, \"identity\": "
                  "\"2049:%d\", "
                  "\"mtime_ns\": %llu, \"source\": %d, \"project\": \"service-%04d\", \"sub\": %s}",
                  k ? ", " : "", project, k, size, 131072 + k, mtime, k % 2, project,
                  k % 5 == 0 ? "true" : "false")
            : std::snprintf(buf, sizeof buf,
                            "%s[\"/home/dev/.agent/projects/-home-dev-src-service-%04d/"
                            "3f2a9c1e-7b4d-4e8a-9c2f-%012d.jsonl\", %llu, \"2049:%d\", %llu, %d, "
                            "\"service-%04d\", %s]",
                            k ? ", " : "", project, k, size, 131072 + k, mtime, k % 2, project,
                            k % 5 == 0 ? "true" : "false");
    text.append(buf, static_cast<std::size_t>(n));
  }
  text += "]";
  return text;
}

void decode(benchmark::State& state, bool object_form) {
  const std::string text = make_manifest(object_form);
  std::vector<ledgerly::engine::Input> out;
  std::string error;
  for (auto _ : state) {
    // A fresh manifest per call, as the binding hands it to the driver.
    ledgerly::engine::Manifest manifest;
    if (!ledgerly::engine::decode_manifest(text, manifest, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(manifest.entries.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
  state.counters["text_bytes"] = static_cast<double>(text.size());
}

void BM_DecodeManifestObjects(benchmark::State& state) { decode(state, true); }
void BM_DecodeManifestArrays(benchmark::State& state) { decode(state, false); }

BENCHMARK(BM_DecodeManifestObjects)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeManifestArrays)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
